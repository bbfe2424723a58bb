#pragma once
// The link table's entries, for the table itself, the link-sharing server
// that runs on a table entry's link, and tests. Programs name a link by its
// id only (aLinkTable.h).

#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "aLinkTable.h"

struct aLink;    // the link engine's record (aLinkInternal.h)
struct aServer;  // a link-sharing server

// One table entry.
struct linkItem {
  aLinkRef linkRef;
  aLinkRef dependentRef;  // destroyed together with this link; 0 for none
  aServer* server;        // the link-sharing server on this link, or null
  // USB and serial: the module's serial number; TCPIP and client: the IPv4
  // address in network byte order; a caller's stream: 0xFFFFFFFF.
  uint32_t identifier;
  uint32_t port;         // TCPIP and client links; else 0
  uint32_t clientIndex;  // client links; else 0
  uint32_t type;         // a linkType; LINK_STREAM for a caller's stream
  int16_t userCount;     // 0 while being created
  aLink* link;           // owned
  linkItem* next;
};

inline constexpr uint32_t kLinkStreamIdentifier = 0xFFFFFFFF;

// aLink_Reset on an entry the caller already holds.
aErr aLink_ResetLink(linkItem* entry);

// The link object of the entry with that id, or null.
aLink* aLink_GetLinkObject(aLinkRef ref);
// The entry with that id, or null. It stays valid while the caller holds a
// use of the link.
linkItem* aLink_LookupEntry(aLinkRef ref);

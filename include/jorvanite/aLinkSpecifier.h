#pragma once
// How one module is reached: the transport enumeration and the 128-byte link
// specifier, a plain record copied whole between the layers and sent whole
// in discovery answers. Every multi-byte field is little-endian, on the wire
// as in memory. A specifier is a value: no function keeps one, and copies
// cross threads freely.

#include <bit>
#include <cstdint>

#include "aError.h"

enum linkType : uint32_t {
  LINK_STREAM = 0,  // a link over a stream the caller made
  LINK_USB = 1,
  LINK_TCPIP = 2,  // a network-attached module reached over TCP
  LINK_SERIAL = 3,
  LINK_ALANIC = 4,  // client of a link-sharing server
};

struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t module;  // module address, 0 when the source does not give it
  uint32_t router;  // module address of the router reaching it
  uint32_t routerSerialNumber;
  uint32_t model;
  uint32_t address;  // USB: serial number; TCPIP, aLanic: IPv4, network order; serial: baud rate
  union {
    uint32_t port;       // TCPIP, aLanic: TCP port in the low 16 bits
    char portName[100];  // serial: device path, NUL-terminated
  };
};

static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
static_assert(std::endian::native == std::endian::little, "linkSpec is sent as it lies in memory");

// A new specifier of 128 zero bytes apart from its type; null when memory
// runs out. Free it with aLinkSpec_Destroy.
linkSpec* aLinkSpec_Create(linkType type);

// A new specifier holding the same 128 bytes; null when memory runs out.
linkSpec* aLinkSpec_Copy(linkSpec spec);

// Frees *spec and nulls it. aErrParam (and nothing changes) for a null
// address or a null pointer there.
aErr aLinkSpec_Destroy(linkSpec** spec);

// Programs that reach into the library's internals, one per JV_CASE value.
// Most are valid against the library's own sources with the internal header
// that defines what they name (the hooks Link no longer carries are valid
// nowhere); against an installed prefix every one must fail to compile.
// install_check.cmake holds the table of cases.
#include <jorvanite/I2CClass.h>
#include <jorvanite/Link.h>
#include <jorvanite/Module.h>
#include <jorvanite/SystemClass.h>
#include <jorvanite/aDiscovery.h>
#include <jorvanite/aLink.h>
#include <jorvanite/aLinkTable.h>
#include <jorvanite/aPacketLog.h>
#include <jorvanite/aStream.h>
#include <jorvanite/aUSB.h>
// What a program would include if the prefix offered it.
#if __has_include(<jorvanite/LinkImpl.h>)
#include <jorvanite/LinkImpl.h>
#endif
#if __has_include(<jorvanite/aLogger.h>)
#include <jorvanite/aLogger.h>
#endif

using namespace Tovanire::Jorvanite;

#if JV_CASE == 1  // the link engine's record
uint32_t status(aLinkRef ref) { return aLink_GetLinkObject(ref)->status; }
#elif JV_CASE == 2  // the same record, reached through an object pointer
uint32_t status(aLink* link) { return link->status; }
#elif JV_CASE == 3  // a link table entry
uint32_t users(aLinkRef ref) { return static_cast<uint32_t>(aLink_LookupEntry(ref)->userCount); }
#elif JV_CASE == 4  // a table step that skips the table's lookup
aErr reset(linkItem* entry) { return aLink_ResetLink(entry); }
#elif JV_CASE == 5  // the engine's life-cycle steps the table takes
aErr restart(aLinkRef ref) { return aLink_Start(aLink_Init(ref, nullptr)); }
#elif JV_CASE == 6  // a byte stream's record
void* context(aStream* stream) { return stream->ref; }
#elif JV_CASE == 7  // a packet log's ring
uint32_t size(aPacketLog* ring) { return ring->size; }
#elif JV_CASE == 8  // the USB driver's test seam
aErr elsewhere() { return jvusb_set_node_path_format("/tmp/node.%08X"); }
#elif JV_CASE == 9  // discovery's test seam
void defaults() { aDiscovery_SetInterfaceListing(nullptr, nullptr); }
#elif JV_CASE == 10  // a Link's private state
aLinkRef held(Link::impl* state) { return state->linkRef; }
#elif JV_CASE == 11  // the stream dispatcher's filter, once a static member of Link
bool offer(const aPacket* packet, void* state) { return Link::linkStreamFilter(packet, state); }
#elif JV_CASE == 12  // joining the dispatcher, once a member of Link
aErr join(Link& link) { return link.installStreamFilter(true); }
#elif JV_CASE == 13  // the logger thread behind a Link's packet log
aErr stop(aLogger* logger) { return aLogger_Disable(logger); }
#else
#error "no such case"
#endif

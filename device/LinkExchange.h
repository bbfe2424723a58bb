#pragma once
// How a UEI reply is recognised and read, apart from the waiting, so that it
// can be driven with any packet a module might send.

#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "uei.h"

namespace Tovanire::Jorvanite {

// The filter receiveUEI and dropMatchingUEIPackets use; `record` is a uei*
// holding the address, command, option byte and plain index expected. Takes
// a reply to it (never a stream sample) and fills the record from it: an
// error reply's index byte and code, or the value and type its length gives.
// Reads no data byte past the packet's length.
bool ueiReplyFilter(const aPacket* packet, void* record);
// What receiveUEI makes of a reply the filter took: aErrSize when it is no
// error reply and its length fits no value type (its value was never read).
aErr ueiReplyResult(const aPacket* packet);

}  // namespace Tovanire::Jorvanite

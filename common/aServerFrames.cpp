#include "aServerFrames.h"

#include "aServer.h"

namespace {

constexpr uint8_t kCmdSystem = 0x03;
constexpr uint8_t kModelReplyLength = 4;

}  // namespace

bool aServer_BatchStreamPacket(uint8_t* batch, uint16_t* length, const aPacket* packet, aServerBatchFlushProc flush,
                               void* ref) {
  static_assert(kServerStreamFlushBytes + aPACKET_MAX_WIRE < kServerStreamBatchSize,
                "a frame added below the flush mark must fit");
  bool taken = false;
  if (aUEI_isStreamPacket(packet)) {
    *length = static_cast<uint16_t>(*length + aServer_PacketToFrame(packet, batch + *length));
    taken = true;
  }
  const bool heartbeat = packet->length == 2 && packet->data[0] == 0;
  if ((heartbeat || *length > kServerStreamFlushBytes) && *length > 0) {
    flush(batch, *length, ref);
    *length = 0;
  }
  return taken;
}

zframe_t* aServer_RouteSyncFrame(uint16_t* expectedReplies, zlist_t* waiting, const uint8_t* frame, size_t size) {
  const bool reply = *expectedReplies > 0 || size != kServerCommandSize;
  zframe_t* identity = static_cast<zframe_t*>(zlist_pop(waiting));
  if (reply) {
    if (*expectedReplies > 0)
      --*expectedReplies;
    return identity;
  }
  if (frame[0] == SERVER_CMD_INCOMING_PACKETS) {
    const uint16_t count = static_cast<uint16_t>(frame[1] << 8 | frame[2]);
    *expectedReplies = count;
    for (uint16_t i = 0; identity && i < count; ++i)
      zlist_push(waiting, zframe_dup(identity));
  }
  zframe_destroy(&identity);
  return nullptr;
}

aErr aServer_ReadModel(const aPacket* reply, uint8_t address, uint8_t* model) {
  if (reply->length != kModelReplyLength || reply->address != address || reply->data[0] != kCmdSystem)
    return aErrIO;
  *model = reply->data[kModelReplyLength - 1];
  return aErrNone;
}

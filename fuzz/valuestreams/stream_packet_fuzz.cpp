// A module's stream packets are outside input: decode one the way a
// subscriber does and run it through a Link's stream filter with a few
// subscriptions in place. Input: the address byte, then up to 28 data bytes.
// The decoders must agree with each other, never read past the packet, and
// the filter must queue only copies of it and cache only what decodes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "LinkImpl.h"

using namespace Tovanire::Jorvanite;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

uint8_t noop(const aPacket*, void*) { return 0; }

void subscribe(Link::impl& state, uint64_t key, bool callback) {
  StreamEntry entry;
  entry.key = key;
  if (callback) entry.callback = noop;
  state.streamMap[key] = entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t address = data[0];
  const size_t length = size - 1 > 28 ? 28 : size - 1;
  // Exactly as long as the packet, so a read past it is a sanitizer's find.
  aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(length), length ? data + 1 : data);
  check(packet != nullptr);

  Link::STREAM_PACKET type = Link::STREAM_PACKET_U8;
  const bool typed = Link::getStreamPacketType(packet, &type);
  check(typed == (type != Link::STREAM_PACKET_UNKNOWN));
  check(!typed || Link::isStreamPacket(packet));
  uint64_t timestamp = 0;
  uint32_t value = 0;
  uint8_t subindex = 0;
  const aErr decoded = Link::getStreamSample(packet, &timestamp, &value, &subindex);
  check((decoded == aErrNone) == Link::isStreamSample(packet));
  check(decoded != aErrNone || (typed && type != Link::STREAM_PACKET_BYTES));
  check(decoded != aErrSize || type == Link::STREAM_PACKET_BYTES);
  if (decoded == aErrNone && !Link::isSubindexType(type)) check(subindex == 0);

  Link::impl state(nullptr, "fuzz");
  const uint8_t command = length ? packet->data[0] : 0;
  subscribe(state, Link::createStreamKey(address, command, 0xFF, 0xFF, 0xFF), true);
  subscribe(state, Link::createStreamKey(address, 0xFF, 0xFF, 0xFF, 0xFF), true);
  subscribe(state, Link::createStreamKey(address, command, 0xFF, 0, 0xFF), false);
  const size_t before = state.streamMap.size();
  check(Link::impl::linkStreamFilter(packet, &state) == typed);
  size_t jobs = 0;
  asyncPacket job;
  while (state.streams.queue.pop(&job)) {
    ++jobs;
    check(job.packet != packet && job.packet->length == packet->length);
    check(std::memcmp(job.packet->data, packet->data, packet->length) == 0);
    aPacket_Destroy(&job.packet);
  }
  check(jobs <= 2);
  check(typed || jobs == 0);
  check(state.streamMap.size() <= before + (decoded == aErrNone ? 1 : 0));

  aPacket_Destroy(&packet);
  return 0;
}

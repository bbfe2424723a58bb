// What a link-sharing server sends a client stream is outside input: cut the
// input into frames and hand them through the stream's frame reader the way
// its gets do. Every byte of every non-empty frame must come out once, in
// order, and nothing else; an empty frame is dropped and the frames after it
// still read; a frame is released after its last byte (a leak or a read past
// it is a sanitizer's find). The same bytes, as one write of the link, must
// split into messages that are each one whole packet, except a tail that
// makes none.
//
// Input: frames, each a length byte and that many bytes (the last one cut
// where the input ends).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "aPacket.h"
#include "aStreamClient.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void readFrames(const uint8_t* in, size_t size) {
  aStreamZeroMQClient client{};
  std::vector<uint8_t> sent;
  std::vector<uint8_t> got;
  size_t at = 0;
  while (at < size) {
    const size_t want = in[at++];
    const size_t length = want < size - at ? want : size - at;
    zframe_t* frame = zframe_new(in + at, length);
    check(frame != nullptr);
    sent.insert(sent.end(), in + at, in + at + length);
    at += length;

    const bool taken = aStreamClient_TakeFrame(&client, &frame);
    check(frame == nullptr);
    check(taken == (length > 0));
    for (size_t i = 0; i < length; ++i) {
      check(client.current != nullptr);
      uint8_t byte = 0;
      check(aStreamClient_NextByte(&client, &byte) == aErrNone);
      got.push_back(byte);
    }
    check(client.current == nullptr && client.index == 0 && client.size == 0);
    uint8_t untouched = 0xA5;
    check(aStreamClient_NextByte(&client, &untouched) == aErrIndexRange && untouched == 0xA5);
  }
  check(got == sent);

  // A frame taken over another, or an empty one over a frame half read,
  // leaves nothing of the old one behind.
  if (size >= 2) {
    zframe_t* first = zframe_new(in, size);
    check(aStreamClient_TakeFrame(&client, &first));
    uint8_t byte = 0;
    check(aStreamClient_NextByte(&client, &byte) == aErrNone && byte == in[0]);
    zframe_t* second = zframe_new(in + 1, in[0] % size);
    const bool taken = aStreamClient_TakeFrame(&client, &second);
    check(taken == (in[0] % size != 0));
    if (taken) {
      check(aStreamClient_NextByte(&client, &byte) == aErrNone && byte == in[1]);
    } else {
      check(client.current == nullptr && client.size == 0);
    }
    zframe_destroy(&client.current);
  }
}

void splitWrite(const uint8_t* in, size_t size) {
  size_t at = 0;
  while (at < size) {
    const uint64_t left = size - at;
    const uint64_t take = aStreamClient_MessageLength(in + at, left);
    check(take >= 1 && take <= left);
    const bool packet = take >= 2 && in[at + 1] <= aPACKET_MAX_DATA && take == in[at + 1] + 2u;
    // A message short of the rest is a whole packet; the rest goes whole
    // when it does not begin with one.
    check(packet || take == left);
    if (take == left && !packet)
      check(left < 2 || in[at + 1] > aPACKET_MAX_DATA || in[at + 1] + 2u > left);
    at += take;
  }
  check(at == size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size == 0 || size > 8192) return 0;
  readFrames(in, size);
  splitWrite(in, size);
  return 0;
}

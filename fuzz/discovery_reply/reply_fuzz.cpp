// Feeds a run of datagrams, as if received on the network search's reply
// port from a few senders, to the reply handling, and checks each report
// against the datagram it came from.
//
// Input: one flag byte (stop after that many reports, 0 for never), then
// datagrams, each a sender byte (its low two bits pick one of four
// addresses), a length byte and that many bytes (a short last one takes
// what is left).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "../DiscoveryReports.h"
#include "aDiscovery.h"

namespace {

constexpr uint32_t kSenders[] = {0x0100007F, 0x0200E70A, 0x0300E70A, 0xFFFFFFFF};

uint32_t sLittle(const uint8_t* p, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

// What a reply of these bytes from that sender must read as, worked out
// apart from the decoder: a reply reaches at least the serial number.
bool sExpected(const std::vector<uint8_t>& d, uint32_t from, linkSpec* out) {
  if (d.size() < 8) return false;
  linkSpec s{};
  s.type = LINK_TCPIP;
  s.module = s.router = d[1];
  s.port = sLittle(&d[2], 2);
  s.serialNumber = s.routerSerialNumber = sLittle(&d[4], 4);
  s.model = d.size() > 12 ? d[12] : 0xFF;
  s.address = from;
  *out = s;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  DiscoveryReports reports;
  reports.stopAfter = data[0];
  aDiscoverySearch replies;
  replies.callback = DiscoveryReports::collect;
  replies.ref = &reports;
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> reported;  // serial, address, port
  size_t offset = 1;
  while (offset + 1 < size) {
    const uint32_t from = kSenders[data[offset++] & 3];
    size_t length = data[offset++];
    if (length > size - offset) length = size - offset;
    // Copied so that a read past the datagram is caught by the sanitizers.
    const std::vector<uint8_t> datagram(data + offset, data + offset + length);
    offset += length;

    linkSpec expected;
    const bool wellFormed = sExpected(datagram, from, &expected);
    linkSpec decoded;
    std::memset(&decoded, 0xA5, sizeof decoded);
    if (aDiscovery_DecodeReply(datagram.data(), datagram.size(), from, &decoded) != wellFormed) std::abort();
    if (wellFormed && std::memcmp(&decoded, &expected, sizeof decoded) != 0) std::abort();

    const bool stoppedBefore = replies.stopped;
    const size_t before = reports.specs.size();
    const bool taken = aDiscovery_HandleReply(&replies, datagram.data(), datagram.size(), from);
    if (taken != (wellFormed && !stoppedBefore)) std::abort();
    const auto key = std::make_tuple(expected.serialNumber, expected.address, expected.port);
    bool repeat = false;
    for (const auto& k : reported) repeat = repeat || (wellFormed && k == key);
    const bool isNew = wellFormed && !stoppedBefore && !repeat;
    // A report only for a well-formed datagram new to the search, and that
    // datagram as it reads.
    if (reports.specs.size() != before + (isNew ? 1 : 0)) std::abort();
    if (isNew) {
      if (std::memcmp(&reports.specs.back(), &expected, sizeof expected) != 0) std::abort();
      reported.push_back(key);
    }
  }
  if (reports.afterStop) std::abort();
  if (replies.count != static_cast<uint8_t>(reports.counted())) std::abort();
  return 0;
}

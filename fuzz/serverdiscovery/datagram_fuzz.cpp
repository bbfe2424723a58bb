// Feeds a run of received datagrams to the search's answer handling and to
// the server's request tests, checking what must hold for any input.
//
// Input: one flag byte (bit 0: local search; bits 1-7: stop after that many
// reports, 0 for never), then datagrams, each a length byte and that many
// bytes (a short last one takes what is left).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../DiscoveryReports.h"
#include "aNetworkDiscovery.h"
#include "aServerDiscovery.h"

namespace {

void sCheckRequests(const uint8_t* data, size_t size) {
  const bool magic = size == 4 && data[0] == 0xBA && data[1] == 0xDC && data[2] == 0xCD && data[3] == 0xAB;
  if (aServerDiscovery_IsMulticastRequest(data, size) != magic) std::abort();
  const bool tag = size >= 20 && std::memcmp(data, "Jorvanite2-Discovery", 20) == 0;
  if (aServerDiscovery_IsBeaconRequest(data, size) != tag) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool local = data[0] & 1;
  DiscoveryReports reports;
  reports.stopAfter = data[0] >> 1;
  aDiscoverySearch search;
  search.callback = DiscoveryReports::collect;
  search.ref = &reports;
  size_t offset = 1;
  std::vector<std::vector<uint8_t>> answers;
  while (offset < size) {
    size_t length = data[offset++];
    if (length > size - offset) length = size - offset;
    // Copied so that a read past the datagram is caught by the sanitizers.
    std::vector<uint8_t> datagram(data + offset, data + offset + length);
    offset += length;
    sCheckRequests(datagram.data(), datagram.size());
    const size_t before = reports.specs.size();
    aDiscovery_HandleAnswer(&search, datagram.data(), datagram.size(), local);
    if (reports.specs.size() > before) {
      if (reports.specs.size() != before + 1 || datagram.size() != sizeof(linkSpec) ||
          std::memcmp(&reports.specs.back(), datagram.data(), sizeof(linkSpec)) != 0)
        std::abort();
    }
  }
  // The whole input after the flag is one datagram too, so that datagrams
  // longer than a length byte can say are reached.
  sCheckRequests(data + 1, size - 1);
  aDiscovery_HandleAnswer(&search, data + 1, size - 1, local);

  if (reports.afterStop) std::abort();
  size_t counted = 0;
  for (size_t i = 0; i < reports.specs.size(); ++i) {
    if (i % 2 == 0) ++counted;
    if (local && reports.specs[i].address != kDiscoveryLoopbackAddress) std::abort();
    for (size_t j = 0; j < i; ++j) {
      if (reports.specs[j].serialNumber == reports.specs[i].serialNumber) std::abort();
    }
  }
  if (search.count != static_cast<uint8_t>(counted)) std::abort();
  return 0;
}

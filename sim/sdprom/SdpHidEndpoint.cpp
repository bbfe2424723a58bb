#include "SdpHidEndpoint.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sdpsim {

namespace {
constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr size_t kCommandReportBytes = 17;
constexpr size_t kDataReportBytes = 1025;
}  // namespace

SdpHidEndpoint::SdpHidEndpoint(SdpRom& rom, size_t habReportBytes)
    : rom_(rom), habReportBytes_(std::clamp<size_t>(habReportBytes, 5, kInputReportBytes)) {}

void SdpHidEndpoint::queue(const std::vector<Reply>& replies) {
  if (replies.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Reply& r : replies) {
      Bytes report(r.report == 3 ? habReportBytes_ : kInputReportBytes, 0);
      report[0] = r.report;
      std::copy_n(r.payload.begin(), std::min(r.payload.size(), report.size() - 1), report.begin() + 1);
      input_.push_back(std::move(report));
    }
  }
  ready_.notify_all();
}

void SdpHidEndpoint::inject(const Bytes& report) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.push_back(report);
  }
  ready_.notify_all();
}

int SdpHidEndpoint::write(const uint8_t* data, size_t length) {
  if (rom_.dropped() || length == 0) return -1;
  const uint8_t id = data[0];
  rom_.note("REPORT " + std::to_string(id) + " " + std::to_string(length));
  if (id == kCommandReport && length == kCommandReportBytes) {
    queue(rom_.command(data + 1));
  } else if (id == kDataReport && length <= kDataReportBytes) {
    size_t used = 0;
    queue(rom_.data(data + 1, length - 1, &used));
  } else {
    rom_.note("BAD_REPORT");
    return -1;
  }
  if (rom_.dropped()) {
    // Taken so that a reader between its check and its wait cannot miss this.
    { std::lock_guard<std::mutex> lock(mutex_); }
    ready_.notify_all();
    return -1;
  }
  return int(length);
}

int SdpHidEndpoint::read(uint8_t* data, size_t length, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto has = [&] { return !input_.empty() || rom_.dropped(); };
  if (timeoutMs < 0)
    ready_.wait(lock, has);
  else
    ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), has);
  if (input_.empty()) return rom_.dropped() ? -1 : 0;
  Bytes report = std::move(input_.front());
  input_.pop_front();
  size_t n = std::min(length, report.size());
  std::memcpy(data, report.data(), n);
  return int(n);
}

}  // namespace sdpsim

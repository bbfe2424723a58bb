#include "HID_SDPLoader.h"

#include <cstring>

#include "IMX1050.h"
#include "Log.h"
#include "aByteOrder.h"
#include "aHIDSeam.h"

namespace {
constexpr uint8_t kHabReport = 3;
// Report 3 carries only the 4 HAB bytes, however long the read that
// delivered it.
constexpr int kHabReportBytes = 5;
constexpr size_t kStatusAt = 6;
constexpr uint32_t kLastIndex = 15;
}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor_id, uint16_t product_id)
    : vendor_id_(vendor_id), product_id_(product_id) {}

HID_SDPLoader::~HID_SDPLoader() {
  const aHIDSeam* hid = aHIDSeam_Get();
  if (device_)
    hid->close(device_);
  hid->exit();
  device_ = nullptr;
}

bool HID_SDPLoader::init() {
  const aHIDSeam* hid = aHIDSeam_Get();
  if (device_)
    return true;
  if (hid->init() != 0) {
    Log::log(DEBUG_iMXSerial, "hid_init failed\n");
    return false;
  }
  device_ = hid->open(vendor_id_, product_id_, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(device_));
  return device_ != nullptr;
}

int64_t HID_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  if (!device_ || report.empty())
    return -1;
  return aHIDSeam_Get()->write(device_, report.data(), report.size());
}

int64_t HID_SDPLoader::readData(std::vector<uint8_t>& out, uint32_t timeout_ms) {
  if (!device_)
    return 0;
  const aHIDSeam* hid = aHIDSeam_Get();
  int timeout = timeout_ms > uint32_t(INT32_MAX) ? INT32_MAX : int(timeout_ms);
  int64_t count = 0;
  uint8_t buffer[MAX_READ_BYTES];
  for (;;) {
    memset(buffer, 0, sizeof buffer);
    int n = hid->read_timeout(device_, buffer, sizeof buffer, timeout);
    if (n <= 0)
      break;
    if (n > int(sizeof buffer))
      n = int(sizeof buffer);
    if (buffer[0] == kHabReport && n > kHabReportBytes)
      n = kHabReportBytes;
    out.insert(out.end(), buffer, buffer + n);
    count += n;
  }
  return count;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, uint32_t index, uint32_t& value) {
  if (reply.size() != REPLY_BYTES || index > kLastIndex)
    return false;
  const uint8_t* word = reply.data() + kStatusAt + index;
  value |= aByteOrder::le32(word);
  return true;
}

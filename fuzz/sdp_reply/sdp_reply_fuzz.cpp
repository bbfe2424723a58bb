// Feeds device replies to the serial download engine through both
// transports' reply handling: the HID transport's report gathering (via the
// test hidapi table) and the serial transport's word extraction.
//
// Input: byte 0 picks the transport (even: HID, odd: serial); the rest is a
// list of chunks, each a length byte and that many bytes. HID: each chunk is
// one input report (length 0: a read that times out). Serial: each chunk is
// what one readData call finds waiting.
//
// Checked besides memory safety: results stay within each operation's codes,
// and a write is confirmed only by a reply that carries the completion word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HID_SDPLoader.h"
#include "IMX1050.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "aHIDSeamTest.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Chunks {
  Chunks(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
      size_t n = data[at++];
      n = n < size - at ? n : size - at;
      list.emplace_back(data + at, data + at + n);
      at += n;
    }
  }
  bool next(Bytes& out) {
    if (cursor >= list.size()) return false;
    out = list[cursor++];
    return true;
  }
  std::vector<Bytes> list;
  size_t cursor = 0;
};

class ChunkDevice : public aHIDTestDevice {
 public:
  explicit ChunkDevice(Chunks& chunks) : chunks_(chunks) {}
  int write(const uint8_t*, size_t length) override { return int(length); }
  int read(uint8_t* data, size_t length, int) override {
    Bytes report;
    if (!chunks_.next(report) || report.empty()) return 0;
    size_t n = report.size() < length ? report.size() : length;
    memcpy(data, report.data(), n);
    return int(n);
  }

 private:
  Chunks& chunks_;
};

// The serial transport's reply handling on chunks instead of a line.
class ChunkSerial : public SDPLoader_Interface {
 public:
  explicit ChunkSerial(Chunks& chunks) : chunks_(chunks), serial_(nullptr) {}
  bool init() override { return true; }
  int64_t writeData(const Bytes& report) override { return int64_t(report.size()) - 1; }
  int64_t readData(Bytes& out, uint32_t) override {
    Bytes chunk;
    chunks_.next(chunk);
    out.insert(out.end(), chunk.begin(), chunk.end());
    last = out;
    return int64_t(chunk.size());
  }
  bool getDataFromBuffer(const Bytes& reply, uint32_t index, uint32_t& value) override {
    bool ok = serial_.getDataFromBuffer(reply, index, value);
    if (ok && reply.size() < (size_t(index) + 2) * 4) abort();
    return ok;
  }
  Bytes last;

 private:
  Chunks& chunks_;
  Serial_SDPLoader serial_;
};

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Chunks chunks(data + 1, size - 1);
  const Bytes image(2100, 0xA5);  // three data reports
  if (data[0] % 2 == 0) {
    aHIDSeamTest::reset();
    ChunkDevice device(chunks);
    aHIDSeamTest::attach(IMX1050::VID, IMX1050::PID, &device);
    const aHIDSeam* previous = aHIDSeam_Install(&aHIDSeamTest::table);
    {
      SDPLoader loader;
      loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
      check(loader.init() == SDPLoader::SDP_OK);
      uint8_t r = loader.writeLoader(image, 0x20000000);
      check(r == 0 || r == 2 || r == 3 || r == 4);
      uint64_t value = 0;
      r = loader.getFingerprint(value);
      check(r == 0 || r == 2 || r == 7);
      loader.startLoader(0x20000400);
    }
    aHIDSeam_Install(previous);
    aHIDSeamTest::reset();
  } else {
    auto* serial = new ChunkSerial(chunks);
    SDPLoader loader;
    loader.setLoader(serial);
    uint8_t r = loader.writeLoader(image, 0x20000000);
    check(r == 0 || r == 2 || r == 3 || r == 4);
    if (r == 0) {
      const Bytes& last = serial->last;
      check(last.size() >= 8 && last[4] == 0x88 && last[5] == 0x88 && last[6] == 0x88 && last[7] == 0x88);
    }
    uint64_t value = 0;
    r = loader.getFingerprint(value);
    check(r == 0 || r == 2 || r == 7);
  }
  return 0;
}

// The gadget process that the guest tests drive: starts usbgadget on
// dummy_hcd at a chosen speed, reads its event lines on a thread of its
// own, sends it control commands and reads its transfer transcript.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace usbvm {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kVendorId = JV_USB_VENDOR_ID;
constexpr uint16_t kProductId = 0x0113;  // model 0x13 in the low byte
constexpr const char* kSerial = "0012ABCD";

// Where usbgadget is; --gadget=PATH on the test's command line changes it.
extern std::string gGadgetPath;

enum class Speed { Full, High };

struct SpeedCase {
  Speed speed;
  size_t maxPacket;
  int libusbSpeed;
};

std::string speedName(Speed s);
void PrintTo(const SpeedCase& c, std::ostream* os);

// Deterministic test bytes that differ by seed.
std::vector<uint8_t> pattern(size_t n, unsigned seed);

// The packets ("out 512", "out 2") that bulk OUT transfers of these sizes
// become on the bus: full packets and a short rest each.
std::vector<std::string> outPackets(const std::vector<size_t>& transfers, size_t maxPacket);

// How the product's driver cuts a write: chunks of at most max packet, a
// 512-byte chunk sent as 511.
std::vector<size_t> driverChunks(size_t total, size_t maxPacket);

// Another program the test runs beside the gadget (the simulated module),
// its output sent to a file. Stopped with SIGTERM when it goes.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(); }
  // False when the program cannot be started (not in the guest, say).
  bool start(const std::vector<std::string>& args, const std::string& outputPath);
  void stop();

 private:
  pid_t pid_ = -1;
};

// True when `name` is an executable on PATH.
bool onPath(const std::string& name);

// One per process, reused by every test that asks for the same speed and
// gadget options.
class Bus {
 public:
  static Bus& get();

  // Brings up dummy_hcd at the speed and a gadget (echo, unless `extra`
  // options say otherwise) that the host has enabled. Returns an empty
  // string on success, else what went wrong.
  std::string use(Speed speed, const std::vector<std::string>& extra = {});

  // Sends one command line to the gadget's control FIFO.
  void command(const std::string& line);

  // Waits for an event line containing `text` that arrived after `mark`
  // (a value of eventMark()); returns it, or nothing at the deadline.
  std::optional<std::string> waitEvent(const std::string& text, size_t mark, milliseconds limit);
  size_t eventMark();
  std::string eventLog();

  // Transfer lines the gadget wrote since the last call, in order ("out 512").
  std::vector<std::string> newTransfers();
  // The same, bulk OUT packets only.
  std::vector<std::string> newOutPackets();
  // Reads new transfer lines until one equals `line` (true) or the deadline.
  bool waitTransfer(const std::string& line, milliseconds limit);

  // Stops the gadget process and leaves the controller free (for a gadget
  // run in process); the next use() starts a new one.
  void release();

  // Waits for the gadget to end by itself: its exit status, or nothing when
  // it still runs at the deadline.
  std::optional<int> waitExit(milliseconds limit);

  ~Bus();

 private:
  std::string startGadget();
  void readEvents(int fd);
  bool running();
  void stopGadget();

  pid_t pid_ = -1;
  std::optional<Speed> speed_;
  std::vector<std::string> extra_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::string> events_;
  bool readerDone_ = false;
  size_t transcriptSeen_ = 0;
};

}  // namespace usbvm

// A simulated module of the family, for tests and demos. It speaks the link
// protocol from its own reading of the wire: packets of an address byte, a
// length byte (0 to 28) and data; empty-packet answers to the host's sync
// queries (0xAD 0x00); force-route packets (0xAF 0x01 route) recorded;
// heartbeats (addr 0x02 0x00 value) sent and their answers (value + 2)
// checked; and the echo command (0x17) answered. Command layers plug in as
// handlers. It links none of the product's code.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimTranscript.h"
#include "SimTransport.h"

namespace jvsim {

constexpr uint8_t kSyncQueryAddress = 0xAD;
constexpr uint8_t kForceRouteAddress = 0xAF;
constexpr uint8_t kCmdEcho = 0x17;
constexpr uint8_t kMaxData = 28;

struct Packet {
  uint8_t address = 0;
  Bytes data;
  Bytes wire() const;
};

struct SimConfig {
  uint8_t address = 4;         // the module's own address (even, nonzero)
  uint32_t serial = 0x0012ABCD;
  uint8_t model = 0x13;
  int heartbeatMs = 0;         // period of unsolicited heartbeats; 0 for none
  int heartbeatAnswerMs = 1000;  // an answer later than this counts as missed
};

// Fault switches; every one may be flipped while the module runs.
struct Faults {
  std::atomic<bool> silent{false};        // reads everything, sends nothing
  std::atomic<int> lateMs{0};             // every answer goes out this much later
  std::atomic<bool> strayByte{false};     // one odd byte (0x03) before the next answer
  std::atomic<int> brokenHandshake{0};    // this many sync queries answered "addr 00 addr+2"
  std::atomic<int> dropAfterPackets{0};   // drop the connection after this many more host packets
  std::atomic<int> floodOnForceRoute{0};  // after the next force route 1, send this many packets
};

struct Stats {
  std::atomic<uint32_t> packetsIn{0};
  std::atomic<uint32_t> junkBytes{0};
  std::atomic<uint32_t> syncQueries{0};
  std::atomic<uint32_t> echoes{0};
  std::atomic<uint32_t> heartbeatsSent{0};
  std::atomic<uint32_t> heartbeatsAnswered{0};  // right value, in time
  std::atomic<uint32_t> heartbeatsWrong{0};     // an answer that matches no heartbeat sent
  std::atomic<uint32_t> heartbeatsMissed{0};
  std::atomic<uint32_t> connections{0};
};

class SimModule;

// A command layer (entities, router, loader). Handlers see every complete
// host packet that the link layer does not consume, in the order added; the
// first that returns true has taken it.
class CommandHandler {
 public:
  virtual ~CommandHandler() = default;
  virtual bool handle(SimModule& module, const Packet& packet) = 0;
};

class SimModule {
 public:
  SimModule(SimConfig config, std::unique_ptr<Transport> transport);
  ~SimModule();
  SimModule(const SimModule&) = delete;
  SimModule& operator=(const SimModule&) = delete;

  // Convenience makers for the usual set-ups.
  static std::unique_ptr<SimModule> overTcp(const std::string& host, uint16_t port = 0, SimConfig config = {});
  static std::unique_ptr<SimModule> overPty(const std::string& linkPath = {}, SimConfig config = {});
  static std::unique_ptr<SimModule> overPipe(SimConfig config = {});

  // The service thread: start() returns once it runs; stop() joins it.
  void start();
  void stop();

  // Called before start(), or from a handler on the service thread.
  void addHandler(std::shared_ptr<CommandHandler> handler);
  // The handlers added, in order (to find a layer by its type).
  std::vector<std::shared_ptr<CommandHandler>> handlers() const { return handlers_; }
  // Called before start(): `observer` sees, on the service thread, each
  // connection event ("connect", "disconnect ...", "online"), "force route"
  // for each force-route packet and "sync" for each sync or address query
  // answered (a loader's echo waits for the next link).
  void addLinkObserver(std::function<void(const std::string& event)> observer);

  // Sends a packet from the module (through the late and silent switches).
  void send(const Packet& packet);
  // Sends a packet delayMs from now (through the silent switch). Packets sent
  // later with a shorter delay are not held behind it. Any thread.
  void sendAfter(const Packet& packet, int delayMs);
  // Runs `action` on the service thread delayMs from now, in turn with the
  // delayed packets (a restart that drops the link after its reply). Any thread.
  void runAfter(int delayMs, std::function<void()> action);
  // Sends bytes exactly as given, bypassing the switches (for framing tests).
  void sendRaw(const Bytes& bytes);
  void sendHeartbeat(uint8_t value);
  // Sends `count` numbered packets back to back: 0x17, count high, count low.
  void flood(int count);
  void dropConnection();

  const SimConfig& config() const { return config_; }
  Faults& faults() { return faults_; }
  const Stats& stats() const { return stats_; }
  Transcript& transcript() { return transcript_; }
  Transport& transport() { return *transport_; }
  std::vector<uint8_t> forceRoutes() const;

  // Typed access to the transport made by the makers above (null otherwise).
  TcpTransport* tcp() { return dynamic_cast<TcpTransport*>(transport_.get()); }
  PtyTransport* pty() { return dynamic_cast<PtyTransport*>(transport_.get()); }
  PipeTransport* pipeTransport() { return dynamic_cast<PipeTransport*>(transport_.get()); }

 private:
  using Clock = std::chrono::steady_clock;

  void run();
  void feed(uint8_t byte);
  void handlePacket(const Packet& packet);
  void answerSyncQuery();
  void checkHeartbeatAnswer(uint8_t value);
  void writeNow(const Bytes& bytes);
  void queueAnswer(Bytes bytes);
  void flushDue(Clock::time_point now);
  int nextWaitMs(Clock::time_point now) const;
  void onConnectionEvent(const std::string& event);

  SimConfig config_;
  std::unique_ptr<Transport> transport_;
  Faults faults_;
  Stats stats_;
  Transcript transcript_;

  std::vector<std::shared_ptr<CommandHandler>> handlers_;
  std::vector<std::function<void(const std::string&)>> linkObservers_;
  std::thread thread_;
  std::atomic<bool> running_{false};

  // Host-to-module assembly (service thread only).
  enum class Rx { Address, Length, Data } rx_ = Rx::Address;
  Packet rxPacket_;
  uint8_t rxLength_ = 0;

  mutable std::mutex mutex_;  // guards what follows
  struct Delayed {
    Clock::time_point due;
    Bytes bytes;
    std::function<void()> action = {};  // instead of bytes, when set
  };
  void insertDelayed(Delayed d);
  std::deque<Delayed> outbox_;
  struct Pending {
    Clock::time_point sent;
    uint8_t expected;
  };
  std::deque<Pending> heartbeats_;
  std::vector<uint8_t> forceRoutes_;
  Clock::time_point nextHeartbeat_{};
  uint8_t nextHeartbeatValue_ = 0;
};

}  // namespace jvsim

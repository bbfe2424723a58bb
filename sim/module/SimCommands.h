// The simulated module's command layer: the entities a module of the family
// answers on top of its link layer, parsed and written from the wire bytes
// alone (it links none of the product's code).
//
//   - UEI get, set and call of the options of its entities (system entity,
//     command 3, index 0, with the option table below), with subindexes,
//     byte blocks both ways in chunks of 24 bytes with sequence trailers, and
//     error replies (index byte bit 7, code byte) for what it lacks;
//   - the module-information queries (command 0x49: build, hasUEI, class and
//     subclass quantities, entity group);
//   - the echo test (command 0x17);
//   - the I2C entity (command 8, index 0): reads, writes and pull-ups on a bus
//     of simple devices (a pointer byte, then memory), status bit 7 for an
//     address that does not acknowledge.
//
// In-process use (tests):
//
//   auto sim = jvsim::SimModule::overTcp("127.0.0.1");       // or overPty / overPipe
//   auto cmds = jvsim::SimCommands::install(*sim);            // identity from sim->config()
//   cmds->set(jvsim::kOptVersion, jvsim::packVersion(2, 15, 1));
//   cmds->setBytes(jvsim::kOptName, "bench");
//   cmds->faults().errorReplies = 1;                          // next request: error reply
//   sim->start();
//   ... the host talks to sim->tcp()->port() ...
//   cmds->get(jvsim::kOptRouteToMe); cmds->callCount(jvsim::kOptReset);
//   sim->transcript().text();                                 // every packet and fault event
//
// Values may be read and changed while the module runs (any thread). The
// fault switches are "next N" counters: N > 0 affects the next N requests
// that match the fault scope, -1 every one, 0 none. Each fault that strikes
// leaves a "[AA] fault ..." event in the transcript (AA: the layer's address).
//
// Error replies it gives of its own accord (code byte):
//   29 option missing, or the option lacks the form asked (get of a set-only
//      option, set of a read-only one, get of a call);
//   28 a UEI request to an entity it does not have (raw commands of other
//      layers, such as 0x5F, are left to their handlers);
//   26 an entity index it lacks, or a subindex past the option's values;
//   14 a value of the wrong width, a byte-block get with a subindex, a
//      byte-block set with no chunk, a block longer than the option holds;
//   24 a byte-block chunk out of sequence (the block is dropped).
// A byte-block set is answered once, after its last chunk.
//
// A router with sub-modules at I2C addresses: see SimRouter.h. Further
// entities (a loader on command 0x5F, say) plug in either as their own
// CommandHandler added to the SimModule, or as options of this table through
// addEntity/addOption with an onSet hook (for a UEI byte-block set of 0x5F
// option 10, which hasUEI then reports). Handlers must address their replies
// to the request packet's address, so they also work behind a router.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimModule.h"

namespace jvsim {

// Command codes (data byte 0).
constexpr uint8_t kCmdSystem = 0x03;
constexpr uint8_t kCmdI2C = 0x08;
constexpr uint8_t kCmdModuleInfo = 0x49;
constexpr uint8_t kCmdUpgrade = 0x5F;

// Result codes the module answers with (the family's numbering).
namespace code {
constexpr uint8_t kNone = 0;
constexpr uint8_t kMemory = 1;
constexpr uint8_t kParam = 2;
constexpr uint8_t kIO = 6;
constexpr uint8_t kRange = 13;
constexpr uint8_t kSize = 14;
constexpr uint8_t kPacket = 24;
constexpr uint8_t kIndexRange = 26;
constexpr uint8_t kInvalidEntity = 28;
constexpr uint8_t kInvalidOption = 29;
}  // namespace code

// System entity options.
constexpr uint8_t kOptModule = 1;
constexpr uint8_t kOptRouter = 2;
constexpr uint8_t kOptHBInterval = 3;
constexpr uint8_t kOptLED = 4;
constexpr uint8_t kOptBootSlot = 6;
constexpr uint8_t kOptVersion = 7;
constexpr uint8_t kOptModel = 8;
constexpr uint8_t kOptSerialNumber = 9;
constexpr uint8_t kOptSave = 10;
constexpr uint8_t kOptReset = 11;
constexpr uint8_t kOptInputVoltage = 12;
constexpr uint8_t kOptHardwareOffset = 13;
constexpr uint8_t kOptBaseAddress = 14;
constexpr uint8_t kOptSoftwareOffset = 15;
constexpr uint8_t kOptRouterAddressSetting = 16;
constexpr uint8_t kOptRouteToMe = 20;
constexpr uint8_t kOptInputCurrent = 21;
constexpr uint8_t kOptUptime = 22;
constexpr uint8_t kOptMaxTemperature = 23;
constexpr uint8_t kOptLogEvents = 24;
constexpr uint8_t kOptUnregulatedVoltage = 25;
constexpr uint8_t kOptUnregulatedCurrent = 26;
constexpr uint8_t kOptTemperature = 27;
constexpr uint8_t kOptMinTemperature = 28;
constexpr uint8_t kOptInputPowerSource = 29;
constexpr uint8_t kOptInputPowerBehavior = 30;
constexpr uint8_t kOptInputPowerBehaviorConfig = 31;
constexpr uint8_t kOptName = 32;
constexpr uint8_t kOptPowerLimit = 33;
constexpr uint8_t kOptPowerLimitMax = 34;
constexpr uint8_t kOptPowerLimitState = 35;
constexpr uint8_t kOptResetEntityDefaults = 36;
constexpr uint8_t kOptResetDeviceDefaults = 37;
constexpr uint8_t kOptLinkInterface = 38;
constexpr uint8_t kOptChipId = 39;  // four words, subindex 0 to 3
constexpr uint8_t kOptHardwareVersion = 40;
constexpr uint8_t kOptErrors = 41;
constexpr uint8_t kOptLEDMaxBrightness = 42;
constexpr uint8_t kOptBuild = 43;
constexpr uint8_t kOptProtocolFeatures = 45;

// The packed version word modules report: the current form from 2.15 on,
// the legacy form (4-bit major and minor, 24-bit patch) below.
uint32_t packVersion(uint8_t major, uint8_t minor, uint32_t patch);

// The wire width of a value type: 0 none (a call), 1, 2, 4; byte blocks go in chunks.
enum class ValueType : uint8_t { None = 0, U8 = 1, U16 = 2, U32 = 4, Bytes = 5 };

struct OptionSpec {
  uint8_t option = 0;
  ValueType type = ValueType::U8;
  bool get = true;
  bool set = false;
  std::vector<uint32_t> values{0};  // one per subindex; a numeric option has at least one
  Bytes bytes;                      // a byte-block option's value
  size_t maxBytes = 4096;           // a longer byte-block set is refused (code kSize)
  // Runs on a set or call before the value is stored (under the layer's lock;
  // it must not call back into the SimCommands). `value` is the number, or
  // `bytes` the block. A nonzero result is sent as the error reply and
  // nothing is stored.
  std::function<uint8_t(uint8_t subindex, uint32_t value, const Bytes& bytes)> onSet;
};

// The identity and readings the system entity starts with.
struct CommandConfig {
  uint8_t address = 4;
  uint32_t serial = 0x0012ABCD;
  uint8_t model = 0x13;
  uint8_t router = 0;  // 0: the module's own address (it is its own router)
  uint32_t version = packVersion(2, 15, 3);
  uint32_t build = 61000;
  std::string name = "SimModule";
  uint32_t protocolFeatures = 0x80000000u;  // bit 31: pooled packets
  uint32_t chipId[4] = {0x1A2B3C4Du, 0x55667788u, 0x99AABBCCu, 0xDDEEFF01u};
  uint32_t hardwareVersion = 0x00010002u;
  bool resetDropsLink = false;  // a reset call drops the host's connection after its reply, as a restart does

  static CommandConfig from(const SimConfig& link);
};

// Fault switches of one command layer ("next N" counters, -1 for every one).
struct CommandFaults {
  std::atomic<int> errorReplies{0};  // UEI error reply / I2C status bit 7 instead of the answer
  std::atomic<int> errorCode{code::kIO};  // their code; -1 sends the error reply without a code byte
  std::atomic<int> wrongLength{0};   // every packet of the reply one byte longer or shorter
  std::atomic<int> lengthDelta{1};   // +1 appends a 0x00, -1 drops the last byte
  std::atomic<int> corrupt{0};       // the last byte of every packet of the reply inverted
  std::atomic<int> lateReplies{0};   // the reply goes out lateMs after the request;
  std::atomic<int> lateMs{1500};     //   replies to later requests are not held behind it
  std::atomic<int> silence{0};       // the request is taken and never answered
  // A numeric UEI get's reply is preceded by a stream sample of the same
  // option (index byte bit 6, a 32-bit value one above the real one).
  std::atomic<int> streamSample{0};
  // Scope: the faults apply only to requests of this command (-1 any) and,
  // for UEI requests, this option (-1 any).
  std::atomic<int> command{-1};
  std::atomic<int> option{-1};
};

class SimCommands : public CommandHandler {
 public:
  explicit SimCommands(CommandConfig config);
  ~SimCommands() override;

  // Makes a layer with the module's identity (address, serial, model) and adds it as a handler.
  static std::shared_ptr<SimCommands> install(SimModule& module, CommandConfig config);
  static std::shared_ptr<SimCommands> install(SimModule& module);

  // CommandHandler: takes the packets addressed to this layer's address.
  bool handle(SimModule& module, const Packet& packet) override;

  uint8_t address() const { return address_; }

  // System entity values (any thread).
  void set(uint8_t option, uint32_t value, uint8_t subindex = 0);
  uint32_t get(uint8_t option, uint8_t subindex = 0) const;
  void setBytes(uint8_t option, Bytes bytes);
  void setBytes(uint8_t option, const std::string& text);
  Bytes getBytes(uint8_t option) const;
  // The longest block a set of the byte-block option may carry (4096 unless changed).
  void setByteLimit(uint8_t option, size_t maxBytes);
  // How many sets and calls of the option succeeded.
  uint32_t callCount(uint8_t option) const;

  // Any entity.
  void addEntity(uint8_t command, uint8_t index);
  void addOption(uint8_t command, uint8_t index, OptionSpec spec);
  void removeOption(uint8_t command, uint8_t index, uint8_t option);
  void setValue(uint8_t command, uint8_t index, uint8_t option, uint32_t value, uint8_t subindex = 0);
  uint32_t value(uint8_t command, uint8_t index, uint8_t option, uint8_t subindex = 0) const;

  // The I2C bus behind entity 8 index 0. A device acknowledges at its
  // (even) address; a write's first byte sets its pointer, the rest is
  // stored from there; a read returns memory from the pointer on.
  void addI2CDevice(uint8_t busAddress, Bytes memory = Bytes(256, 0));
  void removeI2CDevice(uint8_t busAddress);
  Bytes i2cMemory(uint8_t busAddress) const;
  bool pullup() const;

  CommandFaults& faults() { return faults_; }

 private:
  struct Entity {
    std::map<uint8_t, OptionSpec> options;
  };
  struct BlockIn {  // a byte-block set in progress
    uint8_t expected = 0;
    bool overflow = false;
    Bytes data;
  };
  struct Plan {
    bool error = false;
    bool silent = false;
    int delta = 0;
    bool corrupt = false;
    int lateMs = 0;
    bool streamSample = false;
  };
  using Key = std::pair<uint8_t, uint8_t>;  // command, index

  void fillSystemTable(const CommandConfig& config);
  OptionSpec* find(uint8_t command, uint8_t index, uint8_t option);
  const OptionSpec* find(uint8_t command, uint8_t index, uint8_t option) const;
  bool hasEntityCommand(uint8_t command) const;

  Plan takeFaults(SimModule& module, uint8_t command, int option, bool errorApplies);
  void reply(SimModule& module, Bytes data, const Plan& plan);
  void event(SimModule& module, const std::string& text);

  bool handleUei(SimModule& module, const Packet& packet);
  void ueiGet(SimModule& module, const Packet& packet, OptionSpec& spec, const Plan& plan);
  void ueiSet(SimModule& module, const Packet& packet, OptionSpec& spec, Plan plan);
  void ueiError(SimModule& module, uint8_t command, uint8_t optionByte, uint8_t index, int errorCode,
                const Plan& plan);
  bool handleModuleInfo(SimModule& module, const Packet& packet);
  bool handleEcho(SimModule& module, const Packet& packet);
  bool handleI2C(SimModule& module, const Packet& packet);
  uint8_t hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
  void afterCall(SimModule& module, uint8_t command, uint8_t option);

  const uint8_t address_;
  CommandConfig defaults_;
  mutable std::recursive_mutex mutex_;  // guards what follows
  std::map<Key, Entity> entities_;
  std::map<std::pair<Key, uint8_t>, BlockIn> blocksIn_;
  std::map<std::pair<Key, uint8_t>, uint32_t> calls_;
  struct I2CDevice {
    uint8_t pointer = 0;
    Bytes memory;
  };
  std::map<uint8_t, I2CDevice> i2c_;
  bool pullup_ = false;
  std::chrono::steady_clock::time_point started_;
  CommandFaults faults_;
};

}  // namespace jvsim

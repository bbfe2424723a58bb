// The simulated module's store slots (command 4) and factory data (command
// 0x5E), answered from its own reading of the wire bytes.
//
// Store slots: numbered slots in numbered stores, each with a capacity.
//   4 1 store slot          -> 4 1 store slot capHi capLo
//   4 2 store slot          -> 4 2 store slot sizeHi sizeLo
//   4 3|4 store slot        -> 4 3|4 store slot handle   (open for reading | writing)
//   4 6 handle              -> 4 6 handle data...         (up to 25 bytes from the read position)
//   4 7 handle data...      -> 4 7 handle sum             (low 8 bits of the data's sum)
//   4 8 handle              -> 4 8 handle 0               (a write's data becomes the slot's on close)
// Errors: the sub-command with bit 7, the matched fields, then the code
// (26 no such slot or handle, 14 a write past the capacity, 2 a request too
// short to parse).
//
// Factory data, 16 items (0 to 15), each a byte block:
//   5E item|0x40 (first) or item  -> 5E item data...   (26 bytes: more follows)
//   5E item|0x10[|0x40] data...   -> 5E item           (0x40 starts a new block)
//   5E 20 countHi countLo         -> 5E 00, or 5E 80 code when the count is not
//                                    what the transfer moved (a written block is
//                                    kept only when it matches)
//
// In-process use:
//   auto store = jvsim::SimStore::of(*sim);        // installed with SimCommands
//   store->addSlot(1, 2, 100);                     // store 1, slot 2, capacity 100
//   store->setFactory(3, bytes);
//   store->faults().wrongSum = 1;                  // next write acknowledgement
//   store->requests();                             // every request's data bytes
//
// Fault switches are "next N" counters (-1 every one) over the requests of
// `faults().subCommand` (-1 any; for factory data: 1 read, 2 write, 3 end).
// Each fault that strikes leaves a "[AA] store fault ..." transcript event.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "SimModule.h"

namespace jvsim {

constexpr uint8_t kCmdStore = 0x04;
constexpr uint8_t kCmdFactory = 0x5E;

struct StoreFaults {
  std::atomic<int> wrongSum{0};     // a write acknowledgement's sum one off
  std::atomic<int> shortReply{0};   // the reply's last byte dropped
  std::atomic<int> longReply{0};    // a 0x00 appended to the reply
  std::atomic<int> silence{0};      // the request is taken and never answered
  std::atomic<int> errorReplies{0};  // an error reply with errorCode instead
  std::atomic<int> errorCode{6};
  std::atomic<int> subCommand{-1};  // scope: store sub-command, or factory 1 read, 2 write, 3 end
  std::atomic<int> command{-1};     // scope: kCmdStore or kCmdFactory (-1 both)
};

class SimStore : public CommandHandler {
 public:
  explicit SimStore(uint8_t address);

  // Adds a store layer for the module's address (done by SimCommands::install).
  static std::shared_ptr<SimStore> install(SimModule& module, uint8_t address);
  // The store layer of the module (the first added), or null.
  static std::shared_ptr<SimStore> of(SimModule& module);

  bool handle(SimModule& module, const Packet& packet) override;

  // Any thread.
  void addSlot(uint8_t store, uint8_t slot, uint16_t capacity, Bytes contents = {});
  Bytes slot(uint8_t store, uint8_t slot) const;
  void setFactory(uint8_t item, Bytes data);
  Bytes factory(uint8_t item) const;
  // The data bytes of every store and factory request, in arrival order.
  std::vector<Bytes> requests() const;
  // Handles open now.
  size_t openHandles() const;

  StoreFaults& faults() { return faults_; }

 private:
  struct Slot {
    uint16_t capacity = 0;
    Bytes data;
  };
  struct Open {
    std::pair<uint8_t, uint8_t> slot;
    bool writing = false;
    size_t position = 0;  // reading
    Bytes pending;        // writing
  };
  struct Plan {
    bool silent = false;
    bool error = false;
    int delta = 0;
    bool wrongSum = false;
  };

  Plan takeFaults(SimModule& module, uint8_t command, uint8_t sub);
  void reply(SimModule& module, Bytes data, const Plan& plan);
  void error(SimModule& module, Bytes matched, uint8_t code, const Plan& plan);
  void handleStore(SimModule& module, const Bytes& d);
  void handleFactory(SimModule& module, const Bytes& d);

  const uint8_t address_;
  mutable std::mutex mutex_;  // guards what follows
  std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
  std::map<uint8_t, Open> open_;
  uint8_t nextHandle_ = 1;
  Bytes factory_[16];
  // The factory transfer under way.
  int factoryItem_ = -1;
  bool factoryWriting_ = false;
  size_t factoryPosition_ = 0;
  Bytes factoryPending_;
  std::vector<Bytes> requests_;
  StoreFaults faults_;
};

}  // namespace jvsim

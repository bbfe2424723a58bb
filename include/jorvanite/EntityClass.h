#pragma once
// One entity (command code and entity index) of a Module, and the UEI
// operations on it: gets, sets and calls of its options as 8-, 16- and
// 32-bit values or byte blocks, with or without a subindex; waiting for an
// unsolicited value; dropping stale replies; raw command packets.
//
// The module address and the Link are read from the bound Module at each
// call. Every operation returns an aErr: aErrParam for a null result
// pointer or empty buffer (checked first), aErrResource when no Module is
// bound or it has no Link, the exchange's failure (aErrConnection,
// aErrPacket, aErrTimeout, aErrResource) unchanged, and for an error reply
// the module's code (aErrUnknown when it gives none or 0). Before each
// request, late replies to an earlier one of the same option are dropped so
// they never answer it. A read is answered from the Link's stream cache
// when the option is streamed (then nothing is sent). Typed getters deliver
// the value with aErrNone or aErrStreamStale; a reply that carries no value
// or a length no value type has gives aErrSize and leaves it untouched.
//
// Threads: one entity is used from one thread at a time.

#include <cstddef>
#include <cstdint>

#include "Link.h"
#include "aError.h"
#include "aPacket.h"
#include "uei.h"

namespace Tovanire::Jorvanite {

class Module;

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  // Binds the entity (again, to another module or index, if need be). The
  // Module must outlive the binding.
  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  // Raw command packets to and from the module's address.
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* prefix, uint8_t* length, uint8_t* out);

  // Record-level operations. For getUEI the record's type on entry selects
  // the form: 1 sends the subindex held in value.byteVal.
  aErr getUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
  aErr callUEI(uint8_t option);

  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

  // Byte blocks: sent in chunks of up to 24 bytes; a get takes chunks in
  // sequence into the buffer and writes the bytes taken to *received. A
  // block larger than the buffer gives aErrMemory with the chunks that fit
  // delivered; a chunk too short to hold a trailer gives aErrSize; a run
  // of more chunks than capacity + 1 (empty ones that keep saying more
  // follow) gives aErrOverrun.
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
  // Turns a byte count into a count of units; 1 (and the count unchanged)
  // when it is not a whole number of units.
  aErr getUEIBytesCheck(size_t* count, size_t unitSize);

  // Waits 1000 ms, sending nothing, for a reply of the option (no flags) and
  // gives its value zero-extended to 32 bits. The last argument is unused.
  aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
  // Drops queued replies of the option byte as given.
  aErr drainUEI(uint8_t option);

  // Streams of this entity (EntityStream.cpp): every option cached, no
  // callback; one option with a callback (Link::registerStreamCallback);
  // the cached values of every option. aErrResource without a module or link.
  aErr setStreamEnabled(bool enable);
  aErr registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* reference);
  aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

  // A chunk's trailer (its last data byte): sequence (bits 0-6), continue flag (bit 7).
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static uint8_t getUEIBytesContinue(const aPacket* packet);
  // The filter of getUEIBytes; its reference is the uei record of the get.
  static bool sUEIBytesFilter(const aPacket* packet, void* ref);

  struct impl;

 protected:
  // Drops queued packets from the module whose data begin with the prefix.
  aErr dropMatchingPackets(const uint8_t* prefix, uint8_t length);
  // One raw command and its reply from any address (Link::exchangeCommand);
  // aErrResource, *sent false, when no Module or Link is bound. `sent` may
  // be null.
  aErr exchangePacket(uint8_t command, uint8_t length, const uint8_t* data, const uint8_t* prefix, uint8_t* replyLength,
                      uint8_t* out, bool* sent);

 private:
  // The bound module's Link, address and the entity's command; null without one.
  Link* streamTarget(uint8_t* address, uint8_t* command) const;

  impl* m_pImpl;
};

}  // namespace Tovanire::Jorvanite

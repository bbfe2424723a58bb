#include "EntityClass.h"

#include <cstring>

#include "Link.h"
#include "Module.h"

namespace Tovanire::Jorvanite {

struct EntityClass::impl {
  EntityClass& owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;

  explicit impl(EntityClass& entity) : owner(entity) {}

  Link* link() const { return module ? module->getLink() : nullptr; }
  uint8_t address() const { return module->getModuleAddress(); }

  // One request and its reply: drop late replies of the same key, send the
  // request, await the reply, turn an error reply into the module's code.
  aErr exchange(Link* link, uint8_t requestOption, uint8_t replyOption, uei* record, const uint8_t* subindex);
  // A get with the stream cache first; *exchanged tells whether a reply was taken.
  aErr get(uint8_t option, uei* record, bool* exchanged);
};

namespace {

template <typename T>
T sWidth(const uei& record) {
  if constexpr (sizeof(T) == 1)
    return record.value.byteVal;
  else if constexpr (sizeof(T) == 2)
    return record.value.shortVal;
  else
    return record.value.intVal;
}

}  // namespace

aErr EntityClass::impl::exchange(Link* link, uint8_t requestOption, uint8_t replyOption, uei* record,
                                 const uint8_t* subindex) {
  record->address = address();
  record->command = command;
  record->option = requestOption;
  record->specifier = static_cast<uint8_t>(index | ueiSPECIFIER_REQUEST);
  return link->exchangeUEI(*record, subindex, replyOption, record);
}

aErr EntityClass::impl::get(uint8_t option, uei* record, bool* exchanged) {
  *exchanged = false;
  Link* link = this->link();
  if (!link)
    return aErrResource;
  const uint8_t subindex = record->type == ueiTypeByte ? record->value.byteVal : 0;
  uint32_t cached = 0;
  const aErr err = link->getStreamValue(address(), command, option, index, subindex, &cached);
  if (err != aErrNotFound) {
    if (err == aErrNone || err == aErrStreamStale)
      record->value.intVal = cached;
    return err;
  }
  *exchanged = true;
  return exchange(link, static_cast<uint8_t>(option | ueiOPTION_GET), option, record, nullptr);
}

EntityClass::EntityClass() : m_pImpl(new impl(*this)) {}

EntityClass::~EntityClass() {
  delete m_pImpl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  m_pImpl->module = module;
  m_pImpl->command = command;
  m_pImpl->index = index;
}

uint8_t EntityClass::getIndex() const {
  return m_pImpl->index;
}

Link* EntityClass::streamTarget(uint8_t* address, uint8_t* command) const {
  Link* link = m_pImpl->link();
  if (link) {
    *address = m_pImpl->address();
    *command = m_pImpl->command;
  }
  return link;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return link->sendPacket(m_pImpl->address(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* prefix, uint8_t* length, uint8_t* out) {
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return link->receivePacket(m_pImpl->address(), prefix, length, out);
}

aErr EntityClass::dropMatchingPackets(const uint8_t* prefix, uint8_t length) {
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return link->dropMatchingPackets(m_pImpl->address(), prefix, length);
}

aErr EntityClass::exchangePacket(uint8_t command, uint8_t length, const uint8_t* data, const uint8_t* prefix,
                                 uint8_t* replyLength, uint8_t* out, bool* sent) {
  if (sent)
    *sent = false;
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return link->exchangeCommand(m_pImpl->address(), command, length, data, prefix, replyLength, out, false, sent);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
  if (!record)
    return aErrParam;
  bool exchanged = false;
  return m_pImpl->get(option, record, &exchanged);
}

aErr EntityClass::setUEI(uint8_t option, uei* record) {
  if (!record)
    return aErrParam;
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return m_pImpl->exchange(link, static_cast<uint8_t>(option | ueiOPTION_SET),
                           static_cast<uint8_t>(option | ueiOPTION_ACK), record, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
  if (!record)
    return aErrParam;
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return m_pImpl->exchange(link, static_cast<uint8_t>(option | ueiOPTION_SET),
                           static_cast<uint8_t>(option | ueiOPTION_ACK), record, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei record{};
  record.type = ueiTypeNone;
  return setUEI(option, &record);
}

namespace {

template <typename T>
aErr sGetTyped(EntityClass::impl& entity, uint8_t option, const uint8_t* subindex, T* value) {
  if (!value)
    return aErrParam;
  uei record{};
  record.type = subindex ? ueiTypeByte : ueiTypeNone;
  if (subindex)
    record.value.byteVal = *subindex;
  bool exchanged = false;
  const aErr err = entity.get(option, &record, &exchanged);
  if (err != aErrNone && err != aErrStreamStale)
    return err;
  // A get reply without a value would hand back whatever the record held.
  if (exchanged && record.type == ueiTypeNone)
    return aErrSize;
  *value = sWidth<T>(record);
  return err;
}

template <typename T>
aErr sSetTyped(EntityClass& entity, uint8_t option, const uint8_t* subindex, T value) {
  uei record{};
  if constexpr (sizeof(T) == 1) {
    record.type = ueiTypeByte;
    record.value.byteVal = value;
  } else if constexpr (sizeof(T) == 2) {
    record.type = ueiTypeShort;
    record.value.shortVal = value;
  } else {
    record.type = ueiTypeInt;
    record.value.intVal = value;
  }
  return subindex ? entity.setUEI(option, *subindex, &record) : entity.setUEI(option, &record);
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  return sGetTyped(*m_pImpl, option, nullptr, value);
}
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return sGetTyped(*m_pImpl, option, &subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  return sGetTyped(*m_pImpl, option, nullptr, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return sGetTyped(*m_pImpl, option, &subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  return sGetTyped(*m_pImpl, option, nullptr, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return sGetTyped(*m_pImpl, option, &subindex, value);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  return sSetTyped(*this, option, nullptr, value);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  return sSetTyped(*this, option, &subindex, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  return sSetTyped(*this, option, nullptr, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  return sSetTyped(*this, option, &subindex, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  return sSetTyped(*this, option, nullptr, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  return sSetTyped(*this, option, &subindex, value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (length && !data)
    return aErrParam;
  uei record{};
  record.type = ueiTypeBytes;
  record.count = length;
  record.value.bytes = const_cast<uint8_t*>(data);  // only read while sending
  return setUEI(option, &record);
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) {
  return aUEI_getBytesSequence(packet);
}

uint8_t EntityClass::getUEIBytesContinue(const aPacket* packet) {
  return aUEI_getBytesContinue(packet);
}

bool EntityClass::sUEIBytesFilter(const aPacket* packet, void* ref) {
  uei* record = static_cast<uei*>(ref);
  if (packet->address != record->address || packet->length < 3 || packet->data[0] != record->command ||
      packet->data[1] != record->option || (packet->data[2] & ueiSPECIFIER_STREAM) != 0 ||
      (packet->data[2] & ueiINDEX_MASK) != record->specifier) {
    return false;
  }
  if (packet->data[2] & ueiSPECIFIER_ERROR) {
    record->specifier = packet->data[2];
    record->value.byteVal = packet->length >= 4 ? packet->data[3] : 0;
    return true;
  }
  // Three header bytes and no trailer: no chunk at all.
  if (packet->length < 4) {
    record->specifier |= ueiSPECIFIER_ERROR;
    record->value.byteVal = aErrSize;
    return true;
  }
  const uint8_t sequence = static_cast<uint8_t>(aUEI_getBytesSequence(packet) & ueiBYTES_SEQUENCE_MASK);
  if (sequence != record->sequence)
    return false;
  const uint64_t chunk = packet->length - 4u;
  if (*record->received + chunk > record->count) {
    record->specifier |= ueiSPECIFIER_ERROR;
    record->value.byteVal = aErrMemory;
    return true;
  }
  if (chunk)
    std::memcpy(record->value.bytes, &packet->data[3], chunk);
  record->value.bytes += chunk;
  *record->received += chunk;
  record->sequence = sequence;
  record->continueFlag = aUEI_getBytesContinue(packet) ? 1 : 0;
  return true;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received) {
  if (!buffer || !received || capacity == 0)
    return aErrParam;
  *received = 0;
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  const uint8_t address = m_pImpl->address();
  const uint8_t command = m_pImpl->command;
  const uint8_t index = m_pImpl->index;

  uei request{};
  request.address = address;
  request.command = command;
  request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
  request.specifier = static_cast<uint8_t>(index | ueiSPECIFIER_REQUEST);
  request.type = ueiTypeNone;

  uint64_t taken = 0;
  uei record{};
  record.sequence = 0;
  record.continueFlag = 0;
  record.count = capacity;
  record.value.bytes = buffer;
  record.received = &taken;
  aErr err = link->exchangeUEI(request, nullptr, option, &record, sUEIBytesFilter);
  // A block that fits the buffer needs no more chunks than it has bytes,
  // and one more; past that a module sending empty chunks that never end
  // would hold the caller for ever.
  const uint64_t chunkBound = static_cast<uint64_t>(capacity) + 1;
  for (uint64_t chunks = 1;; ++chunks) {
    *received = static_cast<size_t>(taken);
    if (err != aErrNone || !record.continueFlag)
      return err;
    if (chunks >= chunkBound)
      return aErrOverrun;
    record.sequence = static_cast<uint8_t>((record.sequence + 1) & ueiBYTES_SEQUENCE_MASK);
    err = link->receiveUEI(address, command, option, index, &record, sUEIBytesFilter);
    if (err == aErrNone && (record.specifier & ueiSPECIFIER_ERROR))
      err = ueiModuleError(record.value.byteVal);
  }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
  if (!count || unitSize == 0)
    return aErrParam;
  if (*count % unitSize != 0)
    return static_cast<aErr>(1);
  *count /= unitSize;
  return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
  if (!value)
    return aErrParam;
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  uei record{};
  const aErr err =
      link->receiveUEI(m_pImpl->address(), m_pImpl->command, static_cast<uint8_t>(option), m_pImpl->index, &record);
  if (err != aErrNone)
    return err;
  if (record.specifier & ueiSPECIFIER_ERROR)
    return ueiModuleError(record.value.byteVal);
  *value = record.value.intVal;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = m_pImpl->link();
  if (!link)
    return aErrResource;
  return link->dropMatchingUEIPackets(m_pImpl->address(), m_pImpl->command, option, m_pImpl->index);
}

}  // namespace Tovanire::Jorvanite

// EntityClass: the streams of one entity, on its module's Link.
#include "EntityClass.h"

#include <utility>

namespace Tovanire::Jorvanite {

namespace {
constexpr uint8_t kEvery = 0xFF;
}  // namespace

aErr EntityClass::setStreamEnabled(bool enable) {
  uint8_t address = 0, command = 0;
  Link* link = streamTarget(&address, &command);
  if (!link)
    return aErrResource;
  return link->enableStream(address, command, kEvery, getIndex(), enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* reference) {
  uint8_t address = 0, command = 0;
  Link* link = streamTarget(&address, &command);
  if (!link)
    return aErrResource;
  return link->registerStreamCallback(address, command, option, getIndex(), enable, std::move(callback), reference);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
  uint8_t address = 0, command = 0;
  Link* link = streamTarget(&address, &command);
  if (!link)
    return aErrResource;
  return link->getStreamStatus(address, command, kEvery, getIndex(), kEvery, entries, capacity, count);
}

}  // namespace Tovanire::Jorvanite

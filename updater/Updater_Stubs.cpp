// Operations whose flows are not built yet. Each one says so through the
// display and fails; a flow's own Updater_*.cpp replaces its entry here.

#include "Updater.h"

namespace {

void _not_built(UpdaterDisplayInterface& display, const char* operation)
{
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not built yet in this updater", operation);
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool)
{
  _not_built(display, "Get_Fingerprint");
  return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool)
{
  _not_built(display, "Recover_Firmware");
  return false;
}

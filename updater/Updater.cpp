#include "Updater.h"

Updater::Updater(const char* url, const char* dir, UpdaterDisplayInterface& disp)
    : serverUrl(url != nullptr ? url : ""),
      storeDir(dir != nullptr ? dir : ""),
      display(disp),
      chipType(0),
      ueiBytesLoad(false) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool on) {
  ueiBytesLoad = on;
}

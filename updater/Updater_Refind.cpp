// Finding a module again after it left its link: a loader that restarted
// it, a live loader that comes up on USB, a link that dropped.

#include "Log.h"
#include "Updater_Discover.h"
#include "aTime.h"
#include "aUSB.h"

using Tovanire::Jorvanite::Module;

aErr _refind_module(Module& module, const RefindPlan& plan, const std::vector<RefindWay>& ways) {
  module.disconnect();
  aErr err = aErrConnection;
  for (int attempt = 1; attempt <= plan.tries; ++attempt) {
    if (plan.freshContextEvery > 0 && attempt % plan.freshContextEvery == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Jorvanite_libusb_exit();
    }
    for (const RefindWay& way : ways) {
      err = way(attempt);
      if (module.isConnected())
        return aErrNone;
      module.disconnect();
    }
    aTime_MSSleep(plan.pauseMs);
  }
  return err != aErrNone ? err : aErrConnection;
}

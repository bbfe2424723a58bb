#include "aZmqSignals.h"

#include <czmq.h>

#include <mutex>

void aZmq_LeaveSignalsAlone() {
  static std::once_flag once;
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

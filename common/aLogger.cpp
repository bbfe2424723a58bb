#include "aLogger.h"

#include <new>

namespace {

// The logger whose thread this is: a callback that stops or destroys its own
// logger must not wait for itself.
thread_local const aLogger* tOwnLogger = nullptr;

void* sRunLog(void* arg) {
  aLogger* logger = static_cast<aLogger*>(arg);
  tOwnLogger = logger;
  while (logger->running.load())
    logger->callback(logger->file, logger->value);
  tOwnLogger = nullptr;
  return nullptr;
}

}  // namespace

bool aVALIDLOGGER(const aLogger* logger) {
  return logger && logger->check == aLOGGERCHECK;
}

aLogger* aLogger_Create(uint32_t value, aLoggerProc callback, const char* path) {
  if (!callback || !path)
    return nullptr;
  aFile* file = aFile_Open(path, aFileModeAppend);
  if (!file)
    return nullptr;
  aLogger* logger = new (std::nothrow) aLogger{};
  if (!logger) {
    aFile_Close(&file);
    return nullptr;
  }
  // A line is on disk as soon as it is written, so a crash loses none.
  aFile_SetUnbuffered(file);
  logger->value = value;
  logger->callback = callback;
  logger->file = file;
  logger->thread = nullptr;
  logger->running = 0;
  logger->check = aLOGGERCHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!aVALIDLOGGER(logger))
    return aErrParam;
  if (logger->running.load())
    return aErrNone;
  logger->running = 1;
  logger->thread = aThread_Create(sRunLog, logger);
  if (!logger->thread) {
    logger->running = 0;
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!aVALIDLOGGER(logger))
    return aErrParam;
  if (!logger->running.load() || tOwnLogger == logger)
    return aErrNone;
  logger->running = 0;
  if (logger->thread && aThread_Destroy(&logger->thread) != 0)
    return aErrUnknown;
  return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (!logger || !aVALIDLOGGER(*logger))
    return aErrNone;
  aLogger* l = *logger;
  if (tOwnLogger == l)
    return aErrBusy;
  const aErr err = aLogger_Disable(l);
  if (err != aErrNone)
    return err;
  aFile_Close(&l->file);
  l->check = 0;
  delete l;
  *logger = nullptr;
  return aErrNone;
}

aErr aLogger_SetValue(aLogger* logger, uint32_t value) {
  if (!aVALIDLOGGER(logger))
    return aErrParam;
  if (logger->running.load())
    return aErrBusy;
  logger->value = value;
  return aErrNone;
}

#include "aLogger.h"

#include <atomic>
#include <new>

#include "aThread.h"

#define aLOGGER_CHECK 0xDEED

struct aLogger {
  uint16_t check = aLOGGER_CHECK;
  std::atomic<bool> running{false};
  aLoggerCallback callback = nullptr;
  aFile* file = nullptr;
  aThread* thread = nullptr;
  uint32_t parameter = 0;
};

namespace {

// The logger whose thread this is, so that calls from inside the callback can be told apart.
thread_local const aLogger* tRunningLogger = nullptr;

bool sIsValid(const aLogger* logger) { return logger != nullptr && logger->check == aLOGGER_CHECK; }

void sLoggerProcess(void* argument) {
  auto* logger = static_cast<aLogger*>(argument);
  tRunningLogger = logger;
  while (logger->running) logger->callback(logger->file, logger->parameter);
  tRunningLogger = nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t parameter, aLoggerCallback callback, const char* path) {
  if (callback == nullptr) return nullptr;
  aFile* file = aFile_Open(path, aFILE_MODE_APPEND);
  if (file == nullptr) return nullptr;
  auto* logger = new (std::nothrow) aLogger;
  if (logger == nullptr) {
    aFile_Close(&file);
    return nullptr;
  }
  aFile_SetUnbuffered(file);
  logger->callback = callback;
  logger->file = file;
  logger->parameter = parameter;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!sIsValid(logger)) return aErrParam;
  if (logger->running) return aErrNone;
  logger->running = true;
  logger->thread = aThread_Create(sLoggerProcess, logger);
  if (logger->thread == nullptr) {
    logger->running = false;
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!sIsValid(logger)) return aErrParam;
  if (!logger->running || tRunningLogger == logger) return aErrNone;
  logger->running = false;
  return aThread_Destroy(&logger->thread) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !sIsValid(*logger)) return aErrNone;
  if (tRunningLogger == *logger) return aErrBusy;
  const aErr result = aLogger_Disable(*logger);
  if (result != aErrNone) return result;
  aFile_Close(&(*logger)->file);
  (*logger)->check = 0;
  delete *logger;
  *logger = nullptr;
  return aErrNone;
}

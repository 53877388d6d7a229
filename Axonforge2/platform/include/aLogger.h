#ifndef AXONFORGE2_ALOGGER_H
#define AXONFORGE2_ALOGGER_H

// A thread that keeps calling a callback with an output file, typically to drain a link's
// packet log into a text file. The callback decides how long each call takes (it should
// sleep briefly when it has nothing to write).

#include <stdint.h>

#include "aError.h"
#include "aFile.h"

typedef void (*aLoggerCallback)(aFile* file, uint32_t parameter);
typedef struct aLogger aLogger;

#ifdef __cplusplus
extern "C" {
#endif

// Opens path for appending (created if missing, unbuffered). Null when the file cannot be
// opened or callback is null. Nothing runs until aLogger_Enable.
aLogger* aLogger_Create(uint32_t parameter, aLoggerCallback callback, const char* path);
// Starts the thread; success when it already runs. aErrResource when it cannot be started.
aErr aLogger_Enable(aLogger* logger);
// Stops and joins the thread; success when it is not running. Called from the logger's own
// thread (inside the callback) it succeeds without stopping anything.
aErr aLogger_Disable(aLogger* logger);
// Stops the thread, closes the file, frees the logger and nulls the pointer. A pointer to
// something that is not a logger is left alone (success). Called from the logger's own
// thread it refuses with aErrBusy: the thread cannot free what it is running on.
aErr aLogger_Destroy(aLogger** logger);

#ifdef __cplusplus
}
#endif

#endif

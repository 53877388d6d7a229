#ifndef AXONFORGE2_ATHREAD_H
#define AXONFORGE2_ATHREAD_H

// Joinable threads running a function with one pointer argument.

#include "aError.h"

typedef void (*aThreadProc)(void* argument);
typedef struct aThread aThread;

#ifdef __cplusplus
extern "C" {
#endif

// Starts the thread; null when it cannot be started.
aThread* aThread_Create(aThreadProc proc, void* argument);
// Joins the thread, frees and nulls the handle; the join's system error number (0 on success),
// or aErrParam for a null handle.
int aThread_Destroy(aThread** thread);
// Gives other threads a moment (5 microseconds).
aErr aThread_Yield(void);

#ifdef __cplusplus
}
#endif

#endif

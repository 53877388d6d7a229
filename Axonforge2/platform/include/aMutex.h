#ifndef AXONFORGE2_AMUTEX_H
#define AXONFORGE2_AMUTEX_H

// A named process mutex.

#include "aError.h"

#define aMUTEX_MAX_NAME 255

typedef struct aMutex aMutex;

#ifdef __cplusplus
extern "C" {
#endif

// Null when the name is longer than aMUTEX_MAX_NAME or the mutex cannot be made; a null name
// gives an empty one.
aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
// aErrBusy when another thread holds it.
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
// Destroys, frees and nulls the handle.
aErr aMutex_Destroy(aMutex** mutex);

#ifdef __cplusplus
}
#endif

#endif

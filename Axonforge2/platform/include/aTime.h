#ifndef AXONFORGE2_ATIME_H
#define AXONFORGE2_ATIME_H

// Millisecond ticks and sleeps.

#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

// Milliseconds of a steady clock in 32-bit arithmetic: the value wraps (about every 49.7 days),
// so compare ticks by unsigned difference, (now - start) >= timeout. 0 if the clock cannot be read.
uint32_t aTime_GetMSTicks(void);
// Sleeps ms milliseconds, in steps of at most 999999 microseconds; 0 returns at once.
aErr aTime_MSSleep(uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif

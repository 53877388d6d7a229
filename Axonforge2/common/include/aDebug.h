#ifndef AXONFORGE2_ADEBUG_H
#define AXONFORGE2_ADEBUG_H

// The library's own diagnostic switch. Off by default; when aAxonforgeDebuggingEnable is
// non-zero, messages whose mask meets aAxonforgeDebuggingLevel are printed to standard output.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern uint8_t aAxonforgeDebuggingEnable;
extern uint32_t aAxonforgeDebuggingLevel;

// True when library debugging is on for any bit of mask.
bool aDebug_IsOn(uint32_t mask);
// printf to standard output when aDebug_IsOn(mask).
void aDebug_Printf(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif

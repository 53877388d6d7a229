#include "aDebug.h"

#include <stdarg.h>
#include <stdio.h>

uint8_t aAxonforgeDebuggingEnable = 0;
uint32_t aAxonforgeDebuggingLevel = 0;

bool aDebug_IsOn(uint32_t mask) {
  return aAxonforgeDebuggingEnable != 0 && (aAxonforgeDebuggingLevel & mask) != 0;
}

void aDebug_Printf(uint32_t mask, const char* format, ...) {
  if (!aDebug_IsOn(mask)) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

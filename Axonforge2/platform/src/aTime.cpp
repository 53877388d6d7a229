#include "aTime.h"

#include <errno.h>
#include <time.h>

namespace {

const uint32_t kMaxStepMicroseconds = 999999;

// Sleeps the whole step even when a signal interrupts it.
void sSleepMicroseconds(uint32_t microseconds) {
  timespec remaining{static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace

uint32_t aTime_GetMSTicks(void) {
  // A steady clock: a change of the system time must not stretch or cut short a timeout.
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_nsec / 1000000);
}

aErr aTime_MSSleep(uint32_t ms) {
  uint64_t microseconds = static_cast<uint64_t>(ms) * 1000u;
  while (microseconds > 0) {
    const uint32_t step = microseconds > kMaxStepMicroseconds ? kMaxStepMicroseconds
                                                              : static_cast<uint32_t>(microseconds);
    sSleepMicroseconds(step);
    microseconds -= step;
  }
  return aErrNone;
}

#ifndef UPDATER_DEFAULTSERIAL_H
#define UPDATER_DEFAULTSERIAL_H

#include <cstdint>

// The serial number of a device that has none of its own: a loader started before the
// firmware, a processor's boot ROM during recovery.
constexpr uint32_t kDefaultSerial = 0xDEADDEAD;

#endif

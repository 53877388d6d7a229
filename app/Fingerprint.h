#ifndef UPDATER_FINGERPRINT_H
#define UPDATER_FINGERPRINT_H

#include <cstdint>

// Four 32-bit words identifying a device during recovery; also the key of masked recovery images.
struct Fingerprint {
  uint32_t words[4];
};

#endif

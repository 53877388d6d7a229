#ifndef UPDATER_RECOVERYRESULT_H
#define UPDATER_RECOVERYRESULT_H

#include <cstdint>
#include <string>

#include "Fingerprint.h"

// What the last recovery came to, for a caller that reports it in a form of its own.
struct RecoveryResult {
  bool succeeded = false;
  Fingerprint fingerprint{};  // zero until the device was identified
  uint32_t serialNumber = 0;  // the device's, as the server named it (or as given)
  uint32_t build = 0;         // of the recovery image, 0 until it was loaded
  std::string error;          // the error that ended the recovery; empty on success
};

#endif

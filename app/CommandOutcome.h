#ifndef UPDATER_COMMANDOUTCOME_H
#define UPDATER_COMMANDOUTCOME_H

#include <cstdint>

#include "Fingerprint.h"

// How one command that acts on a device (update, recover, get, fingerprint) ended, or why a command was
// refused before it ran. The console's messages have already told the user; a display for scripts
// reports it as one record.
struct CommandOutcome {
  const char* command = "";             // "update", "recover", "get", "fingerprint", ...
  bool ok = false;
  uint32_t serialNumber = 0;            // 0: no device named
  uint32_t build = 0;                   // 0: no build chosen
  double elapsedSeconds = 0.0;
  const Fingerprint* fingerprint = nullptr;  // what -N read, when it read one
};

#endif

#ifndef DEVSIM_MODULESTATE_H
#define DEVSIM_MODULESTATE_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "ModuleSpec.h"

namespace devsim {

using Clock = std::chrono::steady_clock;

enum class RunState {
  Firmware,  // running its application firmware
  Loader,    // restarted into its upgrade loader
  Away,      // restarting; not on any link
  Gone,      // never coming back
};

// The system entity's settable values. `saved` copies survive a reset; live ones do not.
struct SystemSettings {
  uint8_t routerAddress = 0;
  uint8_t heartbeatInterval = 10;
  uint8_t led = 0;
  uint8_t bootSlot = 0;
  uint8_t softwareOffset = 0;
  uint8_t powerBehavior = 0;
  uint8_t linkInterface = 0;
  uint8_t ledMaxBrightness = 255;
  uint32_t powerLimitMax = 15000000;
  std::vector<uint8_t> name;
  std::vector<uint8_t> powerBehaviorConfig;
};

// The state that a module's entities share: identity as currently reported, firmware, settings.
struct ModuleState {
  explicit ModuleState(const ModuleSpec& spec);

  ModuleSpec spec;
  uint32_t serial;  // the serial number currently reported (the loader may report 0xDEADDEAD)
  uint32_t build;
  FirmwareVersion version;
  RunState run = RunState::Firmware;
  uint8_t address;  // base address plus the software offset saved at the last start
  SystemSettings settings;
  SystemSettings saved;
  SystemSettings defaults;
  uint8_t routeToMe = 0;
  Clock::time_point bootTime = Clock::now();

  // A module on another module's bus reports that module's address as its router.
  void placeBehind(uint8_t routerAddress);
  // Applies what a fresh start of the module does: saved settings, address, clock.
  void boot(Clock::time_point now);
  uint64_t uptimeMicros(Clock::time_point now) const;
};

}  // namespace devsim

#endif

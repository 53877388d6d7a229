#include "ModuleState.h"

namespace devsim {

ModuleState::ModuleState(const ModuleSpec& s)
    : spec(s), serial(s.serial), build(s.build), version(s.version), address(s.address) {
  defaults.routerAddress = s.address;
  defaults.heartbeatInterval = s.heartbeatInterval;
  defaults.name.assign(s.name.begin(), s.name.end());
  settings = saved = defaults;
}

void ModuleState::placeBehind(uint8_t routerAddress) {
  defaults.routerAddress = saved.routerAddress = settings.routerAddress = routerAddress;
}

void ModuleState::boot(Clock::time_point now) {
  settings = saved;
  address = static_cast<uint8_t>((spec.address + saved.softwareOffset) & 0xFE);
  if (address == 0) address = spec.address;
  routeToMe = 0;
  bootTime = now;
}

uint64_t ModuleState::uptimeMicros(Clock::time_point now) const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now - bootTime).count());
}

}  // namespace devsim

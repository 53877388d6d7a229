#ifndef BOOTROMSIM_LPCOPTIONS_H
#define BOOTROMSIM_LPCOPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "IspConfig.h"

namespace lpcsim {

// The LPC17xx simulator's own options (the ones after the common ones of bootrom-sim).
struct LpcOptions {
  IspConfig isp;
  uint32_t lineRate = 0;  // bytes paced as on a UART at this rate; 0: as fast as the pty goes
  std::string flashDump;  // flash image written here when the simulator stops
};

// The options' help text, one option a line.
extern const char* const kLpcUsage;

// False with a message for an unknown option or a bad value.
bool ParseLpcOptions(const std::vector<std::string>& args, LpcOptions* options, std::string* error);

}  // namespace lpcsim

#endif

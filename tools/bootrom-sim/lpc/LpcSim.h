#ifndef BOOTROMSIM_LPCSIM_H
#define BOOTROMSIM_LPCSIM_H

#include <string>
#include <vector>

#include "PortOptions.h"

namespace lpcsim {

// The ready file holds "lpc17xx <slave path>".
using bootrom::PortOptions;

// Runs the LPC17xx boot loader on a pseudo-terminal until SIGTERM or SIGINT; the exit status.
int Run(const PortOptions& port, const std::vector<std::string>& args);

}  // namespace lpcsim

#endif

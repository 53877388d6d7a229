#ifndef BOOTROM_IMX_IMXBOOTROM_H
#define BOOTROM_IMX_IMXBOOTROM_H

#include <string>
#include <vector>

#include "PortOptions.h"

namespace bootrom::imx {

// Runs the i.MX boot ROM with its own options (args) until SIGINT or SIGTERM, or until
// JUMP_ADDRESS hands the process over to the loader. Returns the exit status: 0 after a clean
// stop, 1 for a bad option, a port that cannot be opened or a loader that cannot be started.
int RunImxBootRom(const PortOptions& port, const std::vector<std::string>& args);

}  // namespace bootrom::imx

#endif

#ifndef BOOTROMSIM_LPCSIM_H
#define BOOTROMSIM_LPCSIM_H

#include <string>
#include <vector>

namespace lpcsim {

// Options every chip of bootrom-sim shares.
struct PortOptions {
  std::string ptyLink;    // symlink to the pseudo-terminal's slave; none when empty
  std::string readyFile;  // written (chip and slave path) once the port is open
  bool verbose = false;   // every command and block on standard error
};

// Runs the LPC17xx boot loader on a pseudo-terminal until SIGTERM or SIGINT; the exit status.
int Run(const PortOptions& port, const std::vector<std::string>& args);

}  // namespace lpcsim

#endif

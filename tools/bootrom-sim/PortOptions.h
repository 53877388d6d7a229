#ifndef BOOTROMSIM_PORTOPTIONS_H
#define BOOTROMSIM_PORTOPTIONS_H

#include <string>

namespace bootrom {

// Options every chip of bootrom-sim shares.
struct PortOptions {
  std::string ptyLink;    // symlink to the pseudo-terminal's slave; none when empty
  std::string readyFile;  // written once the ports are open
  bool verbose = false;   // every command and block on standard error
};

}  // namespace bootrom

#endif

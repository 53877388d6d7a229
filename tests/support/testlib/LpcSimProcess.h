#ifndef TESTLIB_LPCSIMPROCESS_H
#define TESTLIB_LPCSIMPROCESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "BackgroundProcess.h"
#include "TempDir.h"

// Runs the LPC17xx boot-loader simulator (bootrom-sim --chip lpc17xx -v) on a pseudo-terminal for
// the life of the object. port() is the symlink to the terminal; Stop() writes the flash image.
class LpcSimProcess {
 public:
  // args: the chip options, e.g. {"--erase-ms", "0", "--program-ms", "0"}.
  explicit LpcSimProcess(const std::vector<std::string>& args);
  ~LpcSimProcess() { Stop(); }
  LpcSimProcess(const LpcSimProcess&) = delete;
  LpcSimProcess& operator=(const LpcSimProcess&) = delete;

  bool ready() const { return ready_; }
  const std::string& port() const { return port_; }
  // What the simulator logged so far (every command and its return code, every data block).
  std::string Log() const;
  // Stops the simulator; its exit status.
  int Stop();
  // The flash image the simulator wrote when it stopped (empty before).
  std::vector<uint8_t> Flash() const;

  static std::string Binary();

 private:
  TempDir dir_;
  std::string port_;
  std::string readyFile_;
  std::string logFile_;
  std::string flashFile_;
  BackgroundProcess process_;
  bool ready_ = false;
};

#endif

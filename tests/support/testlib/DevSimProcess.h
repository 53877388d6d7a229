#ifndef TESTLIB_DEVSIMPROCESS_H
#define TESTLIB_DEVSIMPROCESS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "BackgroundProcess.h"
#include "TempDir.h"

// Runs the device simulator program (tools/devsim) for the life of the object, for end-to-end
// tests that drive the updater as a child process. Its simulated USB devices live in a private
// directory (--usb-dir); childEnvironment() lets a child program see them. Its standard output
// and error go to a log file in a private directory.
class DevSimProcess {
 public:
  // args: devsim's command line without the program name, e.g. {"--module", "serial=0x...,usb"}.
  explicit DevSimProcess(const std::vector<std::string>& args);
  ~DevSimProcess();
  DevSimProcess(const DevSimProcess&) = delete;
  DevSimProcess& operator=(const DevSimProcess&) = delete;

  // True once every endpoint is open; false when devsim exited or was not ready in time.
  bool ready() const { return ready_; }
  // The endpoint lines devsim reported ("tcp 1234ABCD 127.0.0.1:40123", "usb ...", ...).
  const std::vector<std::string>& endpointLines() const { return endpoints_; }
  // The TCP port of a module, 0 when it has none.
  uint16_t tcpPort(uint32_t serial) const;
  const std::string& usbDir() const { return usbDir_; }
  // Environment entries for a child program that should see the simulated USB devices.
  std::vector<std::string> childEnvironment() const;
  // Everything devsim wrote to standard output and error so far.
  std::string Log() const;
  // Stops devsim (SIGTERM) and returns its exit status (-1 when it did not exit normally).
  int Stop();

  static std::string Binary();

 private:
  TempDir dir_;
  std::string usbDir_;
  std::string readyFile_;
  std::string logFile_;
  BackgroundProcess process_;
  bool ready_ = false;
  std::vector<std::string> endpoints_;
};

#endif

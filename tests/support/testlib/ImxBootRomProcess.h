#ifndef TESTLIB_IMXBOOTROMPROCESS_H
#define TESTLIB_IMXBOOTROMPROCESS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "BackgroundProcess.h"
#include "TempDir.h"

// Runs the i.MX boot-ROM simulator (bootrom-sim --chip imx) for the life of the object: its
// serial line at tty(), its HID device in a private directory and its RAM dumped there after each
// file written. While the object lives, this process's hidapi and libusb stand-ins see the
// simulator's HID device and the simulated USB bus the loader appears on after the jump.
class ImxBootRomProcess {
 public:
  // args: further options after "--chip imx", e.g. {"--register", "0x401F4410=0x11223344"}.
  explicit ImxBootRomProcess(const std::vector<std::string>& args = {});
  ~ImxBootRomProcess();
  ImxBootRomProcess(const ImxBootRomProcess&) = delete;
  ImxBootRomProcess& operator=(const ImxBootRomProcess&) = delete;

  bool ready() const { return ready_; }
  const std::string& tty() const { return tty_; }
  const std::string& usbDir() const { return usbDir_; }
  // RAM as the last dump holds it: count bytes from address (empty when not dumped or outside it).
  std::vector<uint8_t> ram(uint32_t regionAddress, uint32_t offset, size_t count) const;
  // Waits until the recovery loader the ROM jumped to answers on the simulated USB bus under
  // serial (a direct connection, as the updater makes); false when it does not within 20 s.
  bool loaderAnswersOnUsb(uint32_t serial) const;
  // Environment entries for a child program that should see the simulator's HID device and the
  // simulated USB bus (both stand-ins preloaded).
  std::vector<std::string> childEnvironment() const;
  std::string Log() const;
  int Stop();

  static std::string Binary();

 private:
  TempDir dir_;
  std::string tty_;
  std::string hidDir_;
  std::string usbDir_;
  std::string ramDir_;
  std::string logFile_;
  std::string previousHid_;
  std::string previousUsb_;
  BackgroundProcess process_;
  bool ready_ = false;
};

// The hidapi stand-in's library, for LD_PRELOAD.
std::string HidSimLibraryPath();

#endif

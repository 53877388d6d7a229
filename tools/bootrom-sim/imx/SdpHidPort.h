#ifndef BOOTROM_IMX_SDPHIDPORT_H
#define BOOTROM_IMX_SDPHIDPORT_H

#include <cstdint>
#include <string>

#include "SdpRom.h"

namespace bootrom::imx {

constexpr uint16_t kSdpVendor = 0x1FC9;
constexpr uint16_t kSdpProduct = 0x0130;

// The ROM as USB HID device 1FC9:0130 for the hidapi stand-in (tests/support/hidsim): a Unix
// sequenced-packet socket in a directory, listed in DIR/devices, one HID report per packet.
// Host reports: 1 a command, 2 data; each is taken (packet 'A') after the ROM has answered it.
// Device reports (packet 'R' and the report): 3 the HAB-mode word (5 bytes with the report
// number), 4 the payload in 64-byte pieces (65 bytes each).
class SdpHidPort {
 public:
  SdpHidPort() = default;
  ~SdpHidPort();
  SdpHidPort(const SdpHidPort&) = delete;
  SdpHidPort& operator=(const SdpHidPort&) = delete;

  bool open(const std::string& directory, bool shortAnswers, std::string* error);
  // Unplugs the device: the listing line and the socket go.
  void close();
  const std::string& socketPath() const { return socketPath_; }
  int listenFd() const { return listener_; }
  int hostFd() const { return host_; }
  // A host connects (it replaces an earlier one, as a re-plug would).
  void acceptHost();
  // One report from the host; a closed connection leaves the port waiting for the next host.
  void readable(SdpRom& rom);

 private:
  void sendAnswer(const SdpAnswer& answer);

  int listener_ = -1;
  int host_ = -1;
  std::string directory_;
  std::string socketPath_;
  bool shortAnswers_ = false;
};

}  // namespace bootrom::imx

#endif

#ifndef BOOTROM_IMX_SDPSERIALPORT_H
#define BOOTROM_IMX_SDPSERIALPORT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "PtyPort.h"
#include "SdpRom.h"

namespace bootrom::imx {

// The ROM's UART on a pseudo-terminal: 16-byte commands and raw data bytes in, the HAB-mode word
// and the payload out, plus the association handshake of serial hosts. Outside a file's data, the
// bytes of an incomplete command are dropped when the line has been quiet for a while, so that
// stray bytes (another protocol's probe) do not shift every later command.
class SdpSerialPort {
 public:
  SdpSerialPort() = default;
  SdpSerialPort(const SdpSerialPort&) = delete;
  SdpSerialPort& operator=(const SdpSerialPort&) = delete;

  // Opens the pseudo-terminal (raw) and, when link is not empty, symlinks link to its slave.
  bool open(const std::string& link, bool shortAnswers, std::string* error);
  // Closes the line once the host has taken what the ROM said (at most 1 s), as a ROM that
  // jumps finishes its last answer first.
  void close();
  int fd() const { return pty_.masterFd(); }
  const std::string& slavePath() const { return pty_.slavePath(); }
  // Takes what the host sent and answers it.
  void readable(SdpRom& rom);

 private:
  void send(const uint8_t* bytes, size_t length);

  devsim::PtyPort pty_;
  bool shortAnswers_ = false;
  std::vector<uint8_t> pending_;
  std::chrono::steady_clock::time_point lastArrival_;
};

}  // namespace bootrom::imx

#endif

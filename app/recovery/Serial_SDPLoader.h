#ifndef UPDATER_SERIAL_SDPLOADER_H
#define UPDATER_SERIAL_SDPLOADER_H

#include <memory>
#include <string>

#include "SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

// The boot ROM on a serial line (POSIX terminal, 115200 baud 8N1, raw). The report number that
// starts each packet is not sent.
class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  explicit Serial_SDPLoader(const std::string& path);
  // Discards pending data in both directions and closes the port.
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens the port (non-blocking, not as controlling terminal), sets it up, waits 1 s for the
  // line to settle and discards whatever arrived. False when it cannot be opened or is no terminal.
  bool init() override;
  // Writes the packet without its report number, retrying every 1 ms while the port takes
  // nothing; gives up after WRITE_STALL_LIMIT_MS of such retries in a row. Returns the count
  // written, -1 when the port is not open.
  int writeData(const std::vector<uint8_t>& bytes) override;
  // Sleeps timeoutMs, then takes every byte already there; returns the count.
  int readData(std::vector<uint8_t>& bytes, int timeoutMs) override;
  // Accepts at least (offset + 2) * 4 bytes; the word is at offset + 4, after the HAB-mode word.
  bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override;

  // A port that takes nothing for this long is not coming back.
  static constexpr int WRITE_STALL_LIMIT_MS = 1000;

 private:
  std::unique_ptr<PrivateSerial_SDPLoader> priv;
};

#endif

#ifndef UPDATER_SDPLOADER_H
#define UPDATER_SDPLOADER_H

#include <cstdint>
#include <vector>

#include "SDPLoader_Interface.h"

// Talks NXP's Serial Download Protocol to an i.MX boot ROM: checks that the ROM answers, reads two
// identification registers as a fingerprint, writes a loader image into RAM and starts it.
// Results are small codes; nothing throws. Diagnostics go to the log package DEBUG_iMXSerial.
class SDPLoader {
 public:
  SDPLoader() = default;
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of the transport; false (and nothing taken) for none or when one is set.
  bool setLoader(SDPLoader_Interface* transport);
  // 0 the transport opened, 1 no transport set, 6 the transport failed to open.
  int init();
  // Reads the registers 0x401F4410 (low word) and 0x401F4420 (high word) and ORs them into value.
  // 0 success, 2 the device does not answer, 7 an answer without a readable word.
  int getFingerprint(uint64_t& value);
  // Writes image into RAM at address in data reports of at most 1024 bytes.
  // 0 success, 2 the device does not answer, 3 the device spoke during the transfer,
  // 4 the final status was not "file written".
  int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
  // Asks the ROM to jump to address; the answer is not judged.
  void startLoader(uint32_t address);

  static constexpr uint32_t FINGERPRINT_LOW_REGISTER = 0x401F4410;
  static constexpr uint32_t FINGERPRINT_HIGH_REGISTER = 0x401F4420;
  static constexpr size_t DATA_REPORT_SIZE = 1024;

 private:
  bool _isConnectionAlive();
  // An SDP command packet: report number 1 and the 16 command bytes.
  std::vector<uint8_t> _command(uint16_t type, uint32_t address, uint8_t format, uint32_t dataCount);
  static void _fillCommand(std::vector<uint8_t>& packet);
  bool _expectResponse(const std::vector<uint8_t>& answer);
  bool _expectSuccess(const std::vector<uint8_t>& answer);
  int _readRegister(uint32_t address, uint32_t& value);
  static void _printBuffer(const std::vector<uint8_t>& bytes);

  SDPLoader_Interface* transport = nullptr;
};

#endif

#ifndef BOOTROM_IMX_SDPROM_H
#define BOOTROM_IMX_SDPROM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SdpMemory.h"

namespace bootrom::imx {

// HAB-mode words: the first word of every answer.
constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kHabClosed = 0x12343412;
// Response words.
constexpr uint32_t kFileWritten = 0x88888888;
constexpr uint32_t kRegisterWritten = 0x128A8A12;
constexpr uint32_t kDcdSkipped = 0x900DD009;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kStatusRefused = 0x33333333;  // what ERROR_STATUS reports after a refused command

constexpr size_t kCommandSize = 16;

// One answer of the ROM: the HAB-mode word, then the payload (response words little-endian,
// register data as the core reads memory). Transports frame it: raw bytes on a serial line,
// report 3 and report(s) 4 over HID.
struct SdpAnswer {
  uint32_t habMode = 0;
  std::vector<uint8_t> payload;
};

// The serial download part of an i.MX boot ROM, without its transport: commands of 16 bytes
// (type, address, format, data count, data; big-endian), data phases of WRITE_FILE and DCD_WRITE,
// the error status, and JUMP_ADDRESS, after which the ROM no longer listens.
class SdpRom {
 public:
  using LogSink = std::function<void(const std::string&)>;
  SdpRom(SdpMemory& memory, uint32_t habMode, LogSink log);

  // Handles one command; appends what the ROM says to answers.
  void command(const uint8_t packet[kCommandSize], std::vector<SdpAnswer>& answers);
  // Feeds bytes of the current data phase; returns how many it took (the rest follows the phase).
  size_t data(const uint8_t* bytes, size_t length, std::vector<SdpAnswer>& answers);

  bool inDataPhase() const { return phase_ != Phase::Commands; }
  bool jumped() const { return jumped_; }
  uint32_t jumpAddress() const { return jumpAddress_; }
  // Called after each completed WRITE_FILE.
  void onFileWritten(std::function<void()> callback) { fileWritten_ = std::move(callback); }

 private:
  enum class Phase { Commands, File, Dcd, Discard };
  SdpAnswer answer(std::vector<uint8_t> payload = {}) const;
  SdpAnswer word(uint32_t value) const;
  void refuse(const std::string& why, std::vector<SdpAnswer>& answers);
  void applyDcd();

  SdpMemory& memory_;
  uint32_t habMode_;
  LogSink log_;
  uint32_t status_ = kStatusOk;
  Phase phase_ = Phase::Commands;
  uint32_t phaseAddress_ = 0;
  uint32_t phaseRemaining_ = 0;
  std::vector<uint8_t> dcd_;
  bool jumped_ = false;
  uint32_t jumpAddress_ = 0;
  std::function<void()> fileWritten_;
};

}  // namespace bootrom::imx

#endif

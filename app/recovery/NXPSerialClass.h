#ifndef UPDATER_NXPSERIALCLASS_H
#define UPDATER_NXPSERIALCLASS_H

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aStream.h"

// One flash sector of an LPC part: where it starts, how long it is, its number.
struct NXPSector {
  uint32_t start;
  uint32_t length;
  uint32_t sector;
};
// The LPC17xx flash: sixteen 4 KB sectors from 0, then fourteen 32 KB sectors up to 0x7FFFF;
// ended by a start of 0xFFFFFFFF with sector number 30.
extern const NXPSector NXP_LPC17XX_sectors[];

// The host side of the in-system-programming dialogue of an LPC17xx boot loader over a serial
// port: synchronise, identify, unlock, prepare and erase sectors, write and read RAM in
// uuencoded lines, copy RAM to flash, start code.
//
// Results are aErr codes: a refusal by the device is aErrParam (its return code's text is
// logged), stream errors come back as they are, checksum trouble beyond the retries is
// aErrTimeout and an unexpected checksum answer aErrIO. Diagnostics go to the log under
// DEBUG_NXPSerial (errors, progress), DEBUG_NXPSerial_E (waits, byte traces) and
// DEBUG_NXPSerial_SR (text sent and received). Not thread-safe: one caller at a time.
class NXPSerialClass {
 public:
  static constexpr uint32_t MAX_ERROR = 20;
  static constexpr double CRYSTAL_DEFAULT = 14.7456;  // MHz, sent in kHz during sync
  static constexpr const char* CRYSTAL_KEY = "Crystal";
  static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
  static constexpr uint32_t LINES_PER_CHECKSUM = 20;
  static constexpr uint32_t MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;  // RAM where recovery stages flash data
  static constexpr uint32_t TERMINATION_SIZE = 2;        // "\r\n"

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Closes any open stream and opens port at the first rate of 2400, 4800, 9600, 19200, 38400,
  // 57600, 115200, 230400 that is not below baudRate (9600 above 230400), 8N1.
  aErr Connect(const char* port, uint32_t baudRate);
  // Takes over an already open stream instead of a serial port (the class destroys it).
  aErr Attach(aStream* stream, uint32_t baudRate);
  aErr Disconnect();

  // The auto-baud handshake: "?", "Synchronized", then the crystal frequency in kHz.
  aErr Sync();
  aErr GetBootLoaderVersion(int32_t* first, int32_t* second);
  aErr GetPartNumber(int64_t* part);
  // Reads the four device-id words; DeviceID() holds them afterwards.
  aErr GetDeviceID();
  const uint32_t* DeviceID() const { return deviceID_; }
  // Starts code at address in Thumb mode; no return code is read.
  aErr ExecuteFrom(uint32_t address);
  aErr SetEcho(bool on);
  bool Echo() const { return echo_; }
  // Asks the device for another rate; the host port keeps its own.
  aErr SetBaudRate(uint32_t rate);
  aErr Unlock();
  aErr Prepare(uint32_t startSector, uint32_t endSector);
  // Waits for the return code as long as the sectors' worst-case erase time needs.
  aErr Erase(uint32_t startSector, uint32_t endSector);
  // RAM (or flash) to host. length must be a non-zero multiple of 4.
  aErr Read(uint32_t address, uint32_t length, uint8_t* buffer);
  // Host to RAM. length must be a non-zero multiple of 4: a caller with a shorter last chunk pads
  // it (with 0xFF for flash, its erased value) before writing.
  aErr Write(uint32_t address, uint32_t length, const uint8_t* data);
  // flashAddress a multiple of 256; length 256, 512, 1024 or 4096. Waits for the return code as
  // long as programming that many bytes needs in the worst case.
  aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length);

  // The smallest copy length of 256, 512, 1024, 4096 that holds n; n itself above 4096 (logged).
  static uint32_t CopyLength(uint32_t n);
  // The sector holding address; 30 outside the flash.
  static uint32_t SectorFromAddress(uint32_t address);
  // The text of the return code a received line holds (strtol base 0); "Unknown error" outside
  // 0..MAX_ERROR.
  static const char* GetErrorText(const char* line);
  // Where the return-code character sits in a received line of lineLength characters.
  uint32_t GetErrorIndex(uint32_t lineLength) const;
  // Milliseconds a serial line at rate needs for bytes (10 bits each) plus two bytes of slack.
  static uint32_t WAIT_TIME_MS(uint32_t bytes, uint32_t rate);
  // Budgets, in failed 1 ms reads, for the return code of an erase and of a copy: the data
  // sheet's worst case (105 ms per sector, 1.05 ms per 256-byte page) with half again as margin,
  // on top of the ordinary command budget.
  static uint32_t EraseWaitBudget(uint32_t sectors);
  static uint32_t CopyWaitBudget(uint32_t length);

 private:
  aErr Send(const char* text, bool expectEcho);
  aErr SendCommand(const char* text, uint32_t waitMs);
  // One byte from the stream; nothing there costs one unit of budget and a 1 ms sleep.
  aErr ReadByte(uint8_t* byte, uint32_t* budget);
  aErr GetEcho(const char* expected, size_t count, size_t* matched);
  aErr GetLine(char* buffer, size_t capacity, size_t* length, uint32_t budget);
  aErr Response(char* buffer, size_t capacity, size_t* received, const char* expected, size_t expectedLength);
  // Sends a command and reads its return-code line; 2 when the code is not "0".
  aErr Command(const char* text, const char* name, uint32_t budget = kCommandBudget);
  aErr ReadNumberLines(const char* text, long long* numbers, int count, bool isUnsigned);
  aErr WriteBlock(const uint8_t* data, size_t length);
  aErr ReadBlock(uint8_t* buffer, size_t length, size_t* decoded);

  static constexpr uint32_t kCommandBudget = 100;
  static constexpr uint32_t kChecksumBudget = 2000;

  aStream* stream_ = nullptr;
  bool echo_ = true;
  uint32_t baudRate_ = 0;
  uint32_t state_ = 0;
  char portPath_[2048] = {};
  uint32_t deviceID_[4] = {};
};

#endif

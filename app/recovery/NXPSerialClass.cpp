#include "NXPSerialClass.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "Uuencode.h"
#include "aSerialStream.h"
#include "aTime.h"

const NXPSector NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

namespace {

const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const uint32_t kFallbackRateCode = 2;  // 9600, for rates the table does not reach

const char* const ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const char* const kUnlockCommand = "U 23130\r\n";
const uint32_t kSectorCount = 30;
// Data-sheet worst cases: 105 ms per sector erase, 1.05 ms per 256-byte page program.
const uint32_t kEraseSectorMaxMs = 105;
const uint32_t kPageBytes = 256;
const uint32_t kProgramPageMaxUs = 1050;
// Failed reads tolerated while the device is busy, and a dropped or skipped byte counts as one.
const uint32_t kResponseBudget = 100;
const size_t kLineCapacity = 128;
const size_t kNumberLineCapacity = 32;

// Hex and printable forms of bytes for the send and receive traces.
void sDump(const char* data, size_t n, std::string* hex, std::string* text) {
  char digits[4];
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    snprintf(digits, sizeof digits, "%s%02X", i == 0 ? "" : " ", c);
    hex->append(digits);
    if (c == '\r') text->append("\\r");
    else if (c == '\n') text->append("\\n");
    else text->push_back(isprint(c) ? static_cast<char>(c) : ' ');
  }
}

bool sEndsLine(const char* buffer, size_t n) { return n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n'; }

}  // namespace

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() {
  Disconnect();
  state_ = 28;
}

aErr NXPSerialClass::Connect(const char* port, uint32_t baudRate) {
  Disconnect();
  if (port == nullptr) return aErrParam;
  uint32_t code = kFallbackRateCode;
  for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
    if (kRates[i] >= baudRate) {
      code = i;
      break;
    }
  }
  baudRate_ = kRates[code];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, static_cast<int>(code),
           static_cast<int>(baudRate_));
  const aErr err = aStream_CreateSerial(port, code, false, 0, 0, &stream_);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
    return err;
  }
  snprintf(portPath_, sizeof portPath_, "%s", port);
  return aErrNone;
}

aErr NXPSerialClass::Attach(aStream* stream, uint32_t baudRate) {
  Disconnect();
  if (stream == nullptr || baudRate == 0) return aErrParam;
  stream_ = stream;
  baudRate_ = baudRate;
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream_ != nullptr) aStream_Destroy(&stream_);
  return aErrNone;
}

uint32_t NXPSerialClass::WAIT_TIME_MS(uint32_t bytes, uint32_t rate) {
  if (rate == 0) return 1;
  return static_cast<uint32_t>((static_cast<uint64_t>(bytes) * 9000 + 18000) / rate + 1);
}

uint32_t NXPSerialClass::EraseWaitBudget(uint32_t sectors) {
  if (sectors > kSectorCount) sectors = kSectorCount;
  return kCommandBudget + sectors * kEraseSectorMaxMs * 3 / 2;
}

uint32_t NXPSerialClass::CopyWaitBudget(uint32_t length) {
  const uint32_t pages = (length + kPageBytes - 1) / kPageBytes;
  return kCommandBudget + (pages * kProgramPageMaxUs * 3 / 2 + 999) / 1000;
}

uint32_t NXPSerialClass::CopyLength(uint32_t n) {
  for (uint32_t length : {256u, 512u, 1024u, 4096u}) {
    if (n <= length) return length;
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(n));
  return n;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  for (const NXPSector* s = NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; ++s) {
    if (address >= s->start && address - s->start < s->length) return s->sector;
  }
  return kSectorCount;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (line == nullptr) return ERROR_TEXT[MAX_ERROR];
  const long code = strtol(line, nullptr, 0);
  if (code < 0 || code > static_cast<long>(MAX_ERROR)) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

uint32_t NXPSerialClass::GetErrorIndex(uint32_t lineLength) const {
  return echo_ && lineLength > 2 ? lineLength - 3 : 0;
}

aErr NXPSerialClass::Send(const char* text, bool expectEcho) {
  const size_t n = strlen(text);
  std::string hex, shown;
  sDump(text, n, &hex, &shown);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hex.c_str(), shown.c_str());
  const aErr err = aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), n);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (expectEcho && n > 1) {
    size_t matched = 0;
    GetEcho(text, n - 1, &matched);
  }
  return err;
}

aErr NXPSerialClass::SendCommand(const char* text, uint32_t waitMs) {
  const size_t n = strlen(text);
  std::string hex, shown;
  sDump(text, n, &hex, &shown);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hex.c_str(), shown.c_str());
  const aErr err = aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), n);
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", static_cast<int>(waitMs));
    aTime_MSSleep(waitMs);
  }
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (echo_ && n > 1) {
    size_t matched = 0;
    GetEcho(text, n - 1, &matched);
    if (matched < n - 1) {
      Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
               static_cast<int>(n - 1));
    }
  }
  return err;
}

aErr NXPSerialClass::ReadByte(uint8_t* byte, uint32_t* budget) {
  const aErr err = aStream_Read(stream_, byte, 1);
  if (err == aErrNotReady) {
    --*budget;
    aTime_MSSleep(1);
    Log::log(DEBUG_NXPSerial_E, ".");
  }
  return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, size_t count, size_t* matched) {
  std::string hex, shown;
  sDump(expected, count, &hex, &shown);
  Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", shown.c_str(), static_cast<int>(count));
  Log::log(DEBUG_NXPSerial_E, "recv Echo:[");
  size_t m = 0;
  uint32_t budget = kResponseBudget;
  aErr err = aErrNone;
  while (m < count && budget > 0) {
    uint8_t byte = 0;
    err = ReadByte(&byte, &budget);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) break;
    if (byte == static_cast<uint8_t>(expected[m])) {
      ++m;
      Log::log(DEBUG_NXPSerial_E, " %02X", byte);
    } else {
      // A chattering device must not keep us here: a dropped byte costs budget as well.
      --budget;
      Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, static_cast<uint8_t>(expected[m]));
    }
  }
  Log::log(DEBUG_NXPSerial_E, "]\n");
  *matched = m;
  if (err != aErrNone && err != aErrNotReady) return err;
  return m == count ? aErrNone : aErrTimeout;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t capacity, size_t* length, uint32_t budget) {
  size_t n = 0;
  aErr err = aErrNone;
  bool terminated = false;
  while (n + 1 < capacity && budget > 0) {
    uint8_t byte = 0;
    err = ReadByte(&byte, &budget);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) break;
    if (n == 0 && byte == '\n') {  // the end of an echoed line
      --budget;
      aTime_MSSleep(1);
      Log::log(DEBUG_NXPSerial_E, ",");
      continue;
    }
    buffer[n++] = static_cast<char>(byte);
    if (sEndsLine(buffer, n)) {
      terminated = true;
      break;
    }
  }
  buffer[n] = '\0';
  *length = n;
  std::string hex, shown;
  sDump(buffer, n, &hex, &shown);
  Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n", hex.c_str(), shown.c_str(),
           static_cast<int>(n), terminated ? "term" : "non-term", aError_GetErrorText(err));
  if (budget == 0 && !terminated) return aErrTimeout;
  return err;
}

aErr NXPSerialClass::Response(char* buffer, size_t capacity, size_t* received, const char* expected,
                              size_t expectedLength) {
  size_t limit = capacity - 1;
  if (expected != nullptr && expectedLength < limit) limit = expectedLength;
  const uint32_t waitMs = WAIT_TIME_MS(static_cast<uint32_t>(expectedLength), baudRate_) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(expectedLength),
           static_cast<int>(baudRate_), static_cast<int>(waitMs));
  aTime_MSSleep(waitMs);
  size_t n = 0;
  uint32_t budget = kResponseBudget;
  aErr err = aErrNone;
  while (n < limit && budget > 0) {
    uint8_t byte = 0;
    err = ReadByte(&byte, &budget);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) break;
    if (n == 0 && (byte == '\n' || byte == '\r')) {
      --budget;
      Log::log(DEBUG_NXPSerial_E, byte == '\n' ? "Response ignoring leading \\n\n" : "Response ignoring leading \\r\n");
      continue;
    }
    if (byte == 0 && n < 3) {
      --budget;
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected != nullptr && byte != static_cast<uint8_t>(expected[n])) {
      Log::log(DEBUG_NXPSerial,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(n), byte, isprint(byte) ? byte : ' ',
               isprint(static_cast<unsigned char>(expected[n])) ? expected[n] : ' ',
               static_cast<uint8_t>(expected[n]));
    }
    buffer[n++] = static_cast<char>(byte);
    if (sEndsLine(buffer, n)) break;
  }
  buffer[n] = '\0';
  *received = n;
  if (budget == 0 && n < limit && !sEndsLine(buffer, n)) err = aErrTimeout;
  std::string hex, shown;
  sDump(buffer, n, &hex, &shown);
  Log::log(DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", hex.c_str(), shown.c_str());
  return err;
}

aErr NXPSerialClass::Sync() {
  char buffer[64];
  size_t received = 0;
  Send("?", false);
  aErr err = Response(buffer, sizeof buffer, &received, "Synchronized\r\n", 14);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             aError_GetErrorText(err), buffer);
    return err;
  }
  if (strncmp(buffer, "Synchronized\r\n", 14) != 0) Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", buffer);

  aErr result = aErrNone;
  const char* synchronized = "Synchronized\r\n";
  Send(synchronized, false);
  size_t matched = 0;
  GetEcho(synchronized, strlen(synchronized) - 1, &matched);
  memset(buffer, 0, sizeof buffer);
  err = Response(buffer, sizeof buffer, &received, "OK\r\n", 4);
  if (strncmp(buffer, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, "OK\r\n");
    result = aErrIO;
  }

  char crystal[16];
  snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(std::floor(CRYSTAL_DEFAULT * 1000 + 0.5)));
  Send(crystal, false);
  GetEcho(crystal, strlen(crystal) - 1, &matched);
  err = Response(buffer, sizeof buffer, &received, "OK\r\n", 4);
  return result != aErrNone ? result : err;
}

aErr NXPSerialClass::Command(const char* text, const char* name, uint32_t budget) {
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", name, text, aError_GetErrorText(err));
    return err;
  }
  char line[kLineCapacity];
  size_t length = 0;
  err = GetLine(line, sizeof line, &length, budget);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sNo return code for [%s] [%s]\n", name, text, aError_GetErrorText(err));
    return err;
  }
  // The code may have two digits: step back from the last code character over the whole number.
  size_t at = GetErrorIndex(static_cast<uint32_t>(length));
  while (at > 0 && isdigit(static_cast<unsigned char>(line[at - 1]))) --at;
  if (!(line[at] == '0' && !isdigit(static_cast<unsigned char>(line[at + 1])))) {
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", name, GetErrorText(line + at));
    return aErrParam;
  }
  return aErrNone;
}

aErr NXPSerialClass::ReadNumberLines(const char* text, long long* numbers, int count, bool isUnsigned) {
  aErr err = Command(text, "");
  for (int i = 0; i < count && err == aErrNone; ++i) {
    char line[kNumberLineCapacity];
    size_t length = 0;
    err = GetLine(line, sizeof line, &length, kCommandBudget);
    if (err == aErrNone && !sEndsLine(line, length)) err = aErrIO;
    if (err == aErrNone) numbers[i] = isUnsigned ? static_cast<long long>(strtoul(line, nullptr, 0)) : strtol(line, nullptr, 0);
  }
  return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(int32_t* first, int32_t* second) {
  long long numbers[2] = {};
  const aErr err = ReadNumberLines("K\r\n", numbers, 2, false);
  if (err != aErrNone) return err;
  *first = static_cast<int32_t>(numbers[0]);
  *second = static_cast<int32_t>(numbers[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", static_cast<int>(*first), static_cast<int>(*second));
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(int64_t* part) {
  long long number = 0;
  const aErr err = ReadNumberLines("J\r\n", &number, 1, false);
  if (err != aErrNone) return err;
  *part = number;
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", number);
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  long long numbers[4] = {};
  const aErr err = ReadNumberLines("N\r\n", numbers, 4, true);
  if (err != aErrNone) return err;
  for (int i = 0; i < 4; ++i) deviceID_[i] = static_cast<uint32_t>(numbers[i]);
  return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char text[32];
  snprintf(text, sizeof text, "G %u T\r\n", address);
  const aErr err = SendCommand(text, 0);
  if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
  return err;
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  const aErr err = Command(on ? "A 1\r\n" : "A 0\r\n", "");
  if (err == aErrNone) echo_ = on;
  return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate) {
  char text[32];
  snprintf(text, sizeof text, "B %u %d\r\n", rate, 1);
  return Command(text, "");
}

aErr NXPSerialClass::Unlock() { return Command(kUnlockCommand, ""); }

aErr NXPSerialClass::Prepare(uint32_t startSector, uint32_t endSector) {
  if (endSector < startSector) return aErrParam;
  char text[32];
  snprintf(text, sizeof text, "P %u %u\r\n", startSector, endSector);
  return Command(text, "");
}

aErr NXPSerialClass::Erase(uint32_t startSector, uint32_t endSector) {
  if (endSector < startSector) return aErrParam;
  char text[32];
  snprintf(text, sizeof text, "E %u %u\r\n", startSector, endSector);
  return Command(text, "", EraseWaitBudget(endSector - startSector + 1));
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length) {
  if (flashAddress % 256 != 0 || (length != 256 && length != 512 && length != 1024 && length != 4096)) return aErrParam;
  char text[48];
  snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, length);
  return Command(text, "", CopyWaitBudget(length));
}

aErr NXPSerialClass::WriteBlock(const uint8_t* data, size_t length) {
  char line[UUENCODE_LINE_CAPACITY];
  aErr err = aErrNone;
  size_t pos = 0;
  for (uint32_t lines = 0; pos < length && lines < LINES_PER_CHECKSUM && err == aErrNone; ++lines) {
    pos += uuencode(line, data + pos, length - pos);
    err = Send(line, echo_);
    if (err == aErrNone) err = Send("\r\n", echo_);
  }
  if (err != aErrNone) return err;
  const uint32_t checksum = sum(data, pos);
  Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
  char text[16];
  snprintf(text, sizeof text, "%u\r\n", checksum);
  return Send(text, echo_);
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t length, const uint8_t* data) {
  if (length == 0 || length % 4 != 0 || data == nullptr) return aErrParam;
  char text[48];
  snprintf(text, sizeof text, "W %u %u\r\n", address, length);
  aErr err = Command(text, "Write() ");
  if (err != aErrNone) return err;
  const size_t blockBytes = MAX_BYTES_PER_LINE * LINES_PER_CHECKSUM;
  size_t confirmed = 0;
  uint32_t retries = MAX_READ_RETRY;
  while (confirmed < length && err == aErrNone) {
    const size_t block = length - confirmed < blockBytes ? length - confirmed : blockBytes;
    err = WriteBlock(data + confirmed, block);
    if (err != aErrNone) break;
    char answer[kNumberLineCapacity];
    size_t received = 0;
    const uint32_t start = aTime_GetMSTicks();
    err = GetLine(answer, sizeof answer, &received, kChecksumBudget);
    Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n", static_cast<int>(aTime_GetMSTicks() - start));
    if (err != aErrNone) break;
    if (strcmp(answer, "OK\r\n") == 0) {
      confirmed += block;
      Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(confirmed),
               static_cast<int>(length), 100.0 * confirmed / length);
    } else if (strcmp(answer, "RESEND\r\n") == 0) {
      if (--retries == 0) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        err = aErrTimeout;
      }
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
      err = aErrIO;
    }
  }
  return err;
}

aErr NXPSerialClass::ReadBlock(uint8_t* buffer, size_t length, size_t* decoded) {
  char line[kLineCapacity];
  aErr err = aErrNone;
  size_t pos = 0;
  for (uint32_t lines = 0; pos < length && lines < LINES_PER_CHECKSUM && err == aErrNone; ++lines) {
    size_t received = 0;
    err = GetLine(line, sizeof line, &received, kCommandBudget);
    if (err == aErrNone) pos += uudecode(buffer + pos, length - pos, line);
  }
  *decoded = pos;
  return err;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t length, uint8_t* buffer) {
  if (length == 0 || length % 4 != 0 || buffer == nullptr) return aErrParam;
  char text[48];
  snprintf(text, sizeof text, "R %u %u\r\n", address, length);
  aErr err = Command(text, "");
  if (err != aErrNone) return err;
  size_t confirmed = 0;
  uint32_t retries = MAX_READ_RETRY;
  while (confirmed < length && err == aErrNone) {
    size_t decoded = 0;
    err = ReadBlock(buffer + confirmed, length - confirmed, &decoded);
    char line[kNumberLineCapacity];
    size_t received = 0;
    if (err == aErrNone) err = GetLine(line, sizeof line, &received, kCommandBudget);
    if (err != aErrNone) break;
    char* end = nullptr;
    const long checksum = strtol(line, &end, 10);
    // A block that brought nothing counts as failed too, or a device could keep us here for ever.
    const bool valid = decoded > 0 && end != line && (*end == '\r' || *end == '\0') &&
                       static_cast<uint32_t>(checksum) == sum(buffer + confirmed, decoded);
    if (valid) {
      confirmed += decoded;
      Send("OK\r\n", false);
      if (echo_) {
        char echo[8];
        Response(echo, sizeof echo, &received, "OK\r\n", confirmed < length ? 3 : 4);
      }
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(confirmed),
               static_cast<int>(length), 100.0 * confirmed / length);
    } else if (--retries == 0) {
      Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
      err = aErrTimeout;
    } else {
      err = Send("RESEND\r\n", echo_);
    }
  }
  return err;
}

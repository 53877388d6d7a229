#include "SDPLoader.h"

#include <sys/types.h>

#include <algorithm>

#include "Log.h"

namespace {

constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint16_t kReadRegister = 0x0101;
constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kFormat32Bit = 0x20;
constexpr size_t kCommandPacketSize = 17;  // report number and 16 command bytes
constexpr int kConnectionAttempts = 5;
constexpr int kAnswerTimeoutMs = 100;
constexpr uint32_t kFileWritten = 0x88888888;

void PutBigEndian32(std::vector<uint8_t>& packet, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

SDPLoader::~SDPLoader() { delete transport; }

bool SDPLoader::setLoader(SDPLoader_Interface* newTransport) {
  if (newTransport == nullptr || transport != nullptr) return false;
  transport = newTransport;
  return true;
}

int SDPLoader::init() {
  if (transport == nullptr) return 1;
  return transport->init() ? 0 : 6;
}

std::vector<uint8_t> SDPLoader::_command(uint16_t type, uint32_t address, uint8_t format, uint32_t dataCount) {
  std::vector<uint8_t> packet{kCommandReport, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
  PutBigEndian32(packet, address);
  packet.push_back(format);
  PutBigEndian32(packet, dataCount);
  _fillCommand(packet);
  return packet;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet) {
  if (packet.size() < kCommandPacketSize) packet.resize(kCommandPacketSize, 0);
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& answer) {
  uint32_t word = 0;
  return transport->getDataFromBuffer(answer, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& answer) {
  uint32_t word = 0;
  return transport->getDataFromBuffer(answer, 0, word) && word == kFileWritten;
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) Log::log(DEBUG_iMXSerial, "%X ", b);
  Log::log(DEBUG_iMXSerial, "\n");
}

bool SDPLoader::_isConnectionAlive() {
  const std::vector<uint8_t> status = _command(kErrorStatus, 0, 0, 0);
  for (int attempt = 0; attempt < kConnectionAttempts; ++attempt) {
    size_t written = static_cast<size_t>(transport->writeData(status));
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", written);
    _printBuffer(status);
    std::vector<uint8_t> answer;
    ssize_t read = transport->readData(answer, kAnswerTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
    _printBuffer(answer);
    if (_expectResponse(answer)) return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPLoader::_readRegister(uint32_t address, uint32_t& value) {
  size_t written = static_cast<size_t>(transport->writeData(_command(kReadRegister, address, kFormat32Bit, 4)));
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", written);
  std::vector<uint8_t> answer;
  ssize_t read = transport->readData(answer, kAnswerTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
  return transport->getDataFromBuffer(answer, 0, value) ? 0 : 7;
}

int SDPLoader::getFingerprint(uint64_t& value) {
  if (transport == nullptr || !_isConnectionAlive()) return 2;
  uint32_t low = 0;
  if (_readRegister(FINGERPRINT_LOW_REGISTER, low) != 0) return 7;
  value |= low;
  uint32_t high = 0;
  if (_readRegister(FINGERPRINT_HIGH_REGISTER, high) != 0) return 7;
  value |= static_cast<uint64_t>(high) << 32;
  return 0;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address) {
  if (transport == nullptr || !_isConnectionAlive()) return 2;
  const std::vector<uint8_t> command = _command(kWriteFile, address, kFormat32Bit, static_cast<uint32_t>(image.size()));
  ssize_t result = transport->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
  _printBuffer(command);

  int total = 0;
  int loop = 0;
  for (size_t offset = 0; offset < image.size(); ++loop) {
    // The ROM stays silent while it takes data: anything it says now reports an error.
    std::vector<uint8_t> spoken;
    ssize_t heard = transport->readData(spoken, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", heard);
    if (!spoken.empty()) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return 3;
    }
    const size_t length = std::min(DATA_REPORT_SIZE, image.size() - offset);
    std::vector<uint8_t> report;
    report.reserve(length + 1);
    report.push_back(kDataReport);
    report.insert(report.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                  image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
    result = transport->writeData(report);
    total += static_cast<int>(result);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", result, total, loop,
             static_cast<long>(offset), static_cast<ssize_t>(report.size()));
  }
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);

  std::vector<uint8_t> answer;
  transport->readData(answer, kAnswerTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(answer);
  if (_expectSuccess(answer)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return 0;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return 4;
}

void SDPLoader::startLoader(uint32_t address) {
  if (transport == nullptr) return;
  const std::vector<uint8_t> command = _command(kJumpAddress, address, 0, 0);
  ssize_t result = transport->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
  _printBuffer(command);
  std::vector<uint8_t> ignored;
  transport->readData(ignored, kAnswerTimeoutMs);
}

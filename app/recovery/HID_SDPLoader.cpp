#include "HID_SDPLoader.h"

#include <hidapi.h>

#include "Log.h"
#include "SDPResponseWord.h"

namespace {

constexpr size_t kReportBufferSize = 65;  // report number and 64 bytes
constexpr uint8_t kHabModeReport = 3;
constexpr int kHabModeReportSize = 5;
constexpr size_t kWordOffset = 6;  // after report 3 (5 bytes) and the number of report 4

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId) : vendor(vendorId), product(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (device != nullptr) hid_close(device);
  hid_exit();
}

bool HID_SDPLoader::init() {
  hid_init();
  device = hid_open(vendor, product, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(device));
  return device != nullptr;
}

int HID_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (device == nullptr) return -1;
  return hid_write(device, bytes.data(), bytes.size());
}

int HID_SDPLoader::readData(std::vector<uint8_t>& bytes, int timeoutMs) {
  if (device == nullptr) return 0;
  int total = 0;
  while (bytes.size() < SDP_ANSWER_LIMIT) {
    unsigned char report[kReportBufferSize] = {};
    int read = hid_read_timeout(device, report, sizeof report, timeoutMs);
    if (read <= 0) break;
    if (report[0] == kHabModeReport) read = kHabModeReportSize;
    bytes.insert(bytes.end(), report, report + read);
    total += read;
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) {
  if (bytes.size() != STATUS_ANSWER_SIZE) return false;
  return OrResponseWord(bytes, kWordOffset, offset, value);
}

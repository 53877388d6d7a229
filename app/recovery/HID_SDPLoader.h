#ifndef UPDATER_HID_SDPLOADER_H
#define UPDATER_HID_SDPLOADER_H

#include <cstdint>

#include "SDPLoader_Interface.h"

struct hid_device_;

// The boot ROM as a USB HID device (hidapi). Host reports: 1 command, 2 file data. Device
// reports: 3 the 4-byte HAB-mode word, 4 a 64-byte answer.
class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendor, uint16_t product);
  // Closes the device if open and shuts hidapi down.
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  // Opens the first device with the vendor and product ids.
  bool init() override;
  // One hid_write of the whole packet, report number first; -1 before init.
  int writeData(const std::vector<uint8_t>& bytes) override;
  // Reads reports (each wait up to timeoutMs) until none comes; report 3 counts as its number
  // and the HAB-mode word (5 bytes), any other report as what was read, report number included.
  int readData(std::vector<uint8_t>& bytes, int timeoutMs) override;
  // Accepts exactly a report 3 and a full report 4 (70 bytes); the word is at offset + 6.
  bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override;

  static constexpr size_t STATUS_ANSWER_SIZE = 70;

 private:
  hid_device_* device = nullptr;
  uint16_t vendor;
  uint16_t product;
};

#endif

#ifndef UPDATER_SDPLOADER_INTERFACE_H
#define UPDATER_SDPLOADER_INTERFACE_H

#include <cstddef>
#include <cstdint>
#include <vector>

// The byte transport beneath SDPLoader: one i.MX boot ROM reached over USB HID or a serial line.
// Every outgoing packet starts with its HID report number (1: a 16-byte command, 2: file data);
// transports without reports drop that byte on the wire.
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;
  // Opens the device; false when it cannot be reached.
  virtual bool init() = 0;
  // Writes one command or data report; returns the count written (negative on failure).
  virtual int writeData(const std::vector<uint8_t>& bytes) = 0;
  // Appends what the device sends until it goes quiet (timeoutMs bounds the wait for the first
  // bytes); returns the count appended.
  virtual int readData(std::vector<uint8_t>& bytes, int timeoutMs) = 0;
  // Extracts the little-endian 32-bit response word that follows the HAB-mode word in what
  // readData collected, `offset` bytes further on, and ORs it into value. False (value untouched)
  // when the collected answer has not the shape of a response or offset is beyond 15.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) = 0;
};

#endif

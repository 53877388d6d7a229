#ifndef DEVSIM_SIMPACKET_H
#define DEVSIM_SIMPACKET_H

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

// Link-control addresses a host sends besides module addresses.
constexpr uint8_t kSyncAddress = 0xAD;   // sync request and module-address query
constexpr uint8_t kRouteAddress = 0xAF;  // route switch
constexpr size_t kMaxPayload = 28;

// One link packet as it travels on the wire: address, length, payload.
struct SimPacket {
  uint8_t address = 0;
  std::vector<uint8_t> data;

  SimPacket() = default;
  SimPacket(uint8_t addr, std::vector<uint8_t> bytes) : address(addr), data(std::move(bytes)) {}

  std::vector<uint8_t> wire() const {
    std::vector<uint8_t> out;
    out.reserve(data.size() + 2);
    out.push_back(address);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }
  bool operator==(const SimPacket& o) const { return address == o.address && data == o.data; }
};

// "0A 1B 2C" text of bytes, for the conversation log.
std::string HexBytes(const uint8_t* bytes, size_t n);
inline std::string HexBytes(const std::vector<uint8_t>& v) { return HexBytes(v.data(), v.size()); }

// Big-endian helpers used throughout the device side.
inline void PutBE16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
inline void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
inline uint32_t GetBE(const uint8_t* p, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace devsim

#endif

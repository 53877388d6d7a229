#include "SdpMemory.h"

#include <cstdio>
#include <cstring>

#include "ReplaceFile.h"

namespace bootrom::imx {

SdpMemory::SdpMemory(const std::vector<RamRegion>& regions, const std::map<uint32_t, uint32_t>& registers)
    : registers_(registers) {
  for (const RamRegion& r : regions) regions_.push_back(Region{r.address, std::vector<uint8_t>(r.size, 0)});
}

const SdpMemory::Region* SdpMemory::regionOf(uint32_t address, size_t length) const {
  for (const Region& r : regions_) {
    const uint64_t start = r.address;
    const uint64_t end = start + r.bytes.size();
    if (address >= start && static_cast<uint64_t>(address) + length <= end) return &r;
  }
  return nullptr;
}

bool SdpMemory::inRam(uint32_t address, size_t length) const { return regionOf(address, length) != nullptr; }

bool SdpMemory::write(uint32_t address, const uint8_t* bytes, size_t length) {
  Region* r = const_cast<Region*>(regionOf(address, length));
  if (r == nullptr) return false;
  if (length > 0) std::memcpy(r->bytes.data() + (address - r->address), bytes, length);
  r->changed = true;
  return true;
}

bool SdpMemory::writeWord(uint32_t address, uint32_t value, size_t width) {
  auto reg = registers_.find(address);
  if (reg != registers_.end()) {
    reg->second = value;
    return true;
  }
  uint8_t bytes[4];
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return write(address, bytes, width);
}

uint8_t SdpMemory::readByte(uint32_t address) const {
  auto reg = registers_.upper_bound(address);
  if (reg != registers_.begin()) {
    --reg;
    if (address - reg->first < 4) return static_cast<uint8_t>(reg->second >> (8 * (address - reg->first)));
  }
  const Region* r = regionOf(address, 1);
  return r ? r->bytes[address - r->address] : 0;
}

bool SdpMemory::dump(const std::string& directory, std::string* error) {
  for (Region& r : regions_) {
    if (!r.changed) continue;
    char name[16];
    std::snprintf(name, sizeof name, "/%08X.bin", r.address);
    if (!ReplaceFile(directory + name, std::string(r.bytes.begin(), r.bytes.end()))) {
      *error = "cannot write the RAM dump " + directory + name;
      return false;
    }
    r.changed = false;
  }
  return true;
}

}  // namespace bootrom::imx

#ifndef BOOTROM_IMX_SDPMEMORY_H
#define BOOTROM_IMX_SDPMEMORY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bootrom::imx {

// One block of on-chip RAM: where it starts and how large it is.
struct RamRegion {
  uint32_t address = 0;
  uint32_t size = 0;
};

// What the ROM can reach: RAM regions that keep what is written to them (0 after reset), and
// 32-bit registers (identification fuses and the like) that read back their configured value.
// Addresses in neither read as 0 and refuse writes.
class SdpMemory {
 public:
  SdpMemory(const std::vector<RamRegion>& regions, const std::map<uint32_t, uint32_t>& registers);

  // True when [address, address + length) lies inside one RAM region.
  bool inRam(uint32_t address, size_t length) const;
  // Copies bytes into RAM; false (nothing written) when they do not fit one region.
  bool write(uint32_t address, const uint8_t* bytes, size_t length);
  // A register word or RAM bytes (little-endian, as the core sees them); false when the address is
  // neither a register nor RAM.
  bool writeWord(uint32_t address, uint32_t value, size_t width);
  uint8_t readByte(uint32_t address) const;
  // Writes each region to DIR/<ADDRESS %08X>.bin (through a temporary file, so a reader never
  // sees half a dump); false with a reason when a file cannot be written. Regions not written
  // since the last dump are left as they are: a dump comes before the ROM's answer, which a host
  // waits for only briefly.
  bool dump(const std::string& directory, std::string* error);

 private:
  struct Region {
    uint32_t address;
    std::vector<uint8_t> bytes;
    bool changed = true;  // since the last dump
  };
  const Region* regionOf(uint32_t address, size_t length) const;

  std::vector<Region> regions_;
  std::map<uint32_t, uint32_t> registers_;
};

}  // namespace bootrom::imx

#endif

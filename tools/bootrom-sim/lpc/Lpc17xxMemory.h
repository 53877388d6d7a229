#ifndef BOOTROMSIM_LPC17XXMEMORY_H
#define BOOTROMSIM_LPC17XXMEMORY_H

#include <cstdint>
#include <string>
#include <vector>

namespace lpcsim {

// The memory an LPC17xx boot loader reaches: 512 KB of flash in thirty sectors (sixteen of 4 KB,
// fourteen of 32 KB) and two 32 KB RAM blocks (local SRAM at 0x10000000, AHB SRAM at
// 0x2007C000). Flash keeps the chip's rules: a sector must be prepared before it is erased or
// programmed, and erasing or programming locks every sector again; programming can only clear
// bits, so only erased flash takes data as sent.
class Lpc17xxMemory {
 public:
  static constexpr uint32_t kFlashSize = 0x80000;
  static constexpr uint32_t kSectors = 30;

  Lpc17xxMemory();

  bool isRam(uint32_t address, uint32_t count) const;
  bool isFlash(uint32_t address, uint32_t count) const;
  bool isMapped(uint32_t address, uint32_t count) const { return isRam(address, count) || isFlash(address, count); }
  // Bytes at a mapped address (RAM or flash).
  const uint8_t* at(uint32_t address) const;
  void writeRam(uint32_t address, const uint8_t* data, uint32_t count);

  // Sector number of a flash address; kSectors outside the flash.
  static uint32_t sectorOf(uint32_t address);
  static uint32_t sectorStart(uint32_t sector);
  static uint32_t sectorLength(uint32_t sector);

  void prepare(uint32_t first, uint32_t last);
  bool prepared(uint32_t first, uint32_t last) const;
  void erase(uint32_t first, uint32_t last);
  // True when the sectors are erased; otherwise the offset and value of the first word that is not.
  bool blank(uint32_t first, uint32_t last, uint32_t* offset, uint32_t* word) const;
  // Programs flash from RAM. Returns false when some target byte was not erased (the data then
  // lands AND-ed with what was there, as on the chip).
  bool program(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);

  const std::vector<uint8_t>& flash() const { return flash_; }
  bool dumpFlash(const std::string& path, std::string* error) const;

 private:
  struct RamBlock {
    uint32_t base;
    std::vector<uint8_t> bytes;
  };
  // Index into ram_ of the block holding [address, address + count); -1 when none does.
  int ramIndex(uint32_t address, uint32_t count) const;
  void lockAll();

  std::vector<uint8_t> flash_;
  std::vector<RamBlock> ram_;
  std::vector<bool> prepared_;
};

}  // namespace lpcsim

#endif

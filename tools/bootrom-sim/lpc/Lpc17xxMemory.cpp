#include "Lpc17xxMemory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lpcsim {

namespace {

const uint32_t kSmallSectors = 16;
const uint32_t kSmallSector = 0x1000;
const uint32_t kLargeSector = 0x8000;
const uint32_t kRamBlock = 0x8000;
const uint8_t kErased = 0xFF;

}  // namespace

Lpc17xxMemory::Lpc17xxMemory()
    : flash_(kFlashSize, kErased),
      ram_{{0x10000000, std::vector<uint8_t>(kRamBlock, 0)}, {0x2007C000, std::vector<uint8_t>(kRamBlock, 0)}},
      prepared_(kSectors, false) {}

int Lpc17xxMemory::ramIndex(uint32_t address, uint32_t count) const {
  for (size_t i = 0; i < ram_.size(); ++i) {
    const RamBlock& block = ram_[i];
    if (address >= block.base && address - block.base <= block.bytes.size() &&
        count <= block.bytes.size() - (address - block.base)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool Lpc17xxMemory::isRam(uint32_t address, uint32_t count) const { return ramIndex(address, count) >= 0; }

bool Lpc17xxMemory::isFlash(uint32_t address, uint32_t count) const {
  return address <= kFlashSize && count <= kFlashSize - address;
}

const uint8_t* Lpc17xxMemory::at(uint32_t address) const {
  if (isFlash(address, 0)) return flash_.data() + address;
  const int i = ramIndex(address, 0);
  return i < 0 ? nullptr : ram_[i].bytes.data() + (address - ram_[i].base);
}

void Lpc17xxMemory::writeRam(uint32_t address, const uint8_t* data, uint32_t count) {
  const int i = ramIndex(address, count);
  if (i >= 0 && count > 0) memcpy(ram_[i].bytes.data() + (address - ram_[i].base), data, count);
}

uint32_t Lpc17xxMemory::sectorOf(uint32_t address) {
  if (address < kSmallSectors * kSmallSector) return address / kSmallSector;
  if (address < kFlashSize) return kSmallSectors + (address - kSmallSectors * kSmallSector) / kLargeSector;
  return kSectors;
}

uint32_t Lpc17xxMemory::sectorStart(uint32_t sector) {
  if (sector < kSmallSectors) return sector * kSmallSector;
  return kSmallSectors * kSmallSector + (sector - kSmallSectors) * kLargeSector;
}

uint32_t Lpc17xxMemory::sectorLength(uint32_t sector) { return sector < kSmallSectors ? kSmallSector : kLargeSector; }

void Lpc17xxMemory::prepare(uint32_t first, uint32_t last) {
  for (uint32_t s = first; s <= last && s < kSectors; ++s) prepared_[s] = true;
}

bool Lpc17xxMemory::prepared(uint32_t first, uint32_t last) const {
  for (uint32_t s = first; s <= last; ++s) {
    if (s >= kSectors || !prepared_[s]) return false;
  }
  return true;
}

void Lpc17xxMemory::lockAll() { prepared_.assign(kSectors, false); }

void Lpc17xxMemory::erase(uint32_t first, uint32_t last) {
  const uint32_t start = sectorStart(first);
  const uint32_t end = sectorStart(last) + sectorLength(last);
  memset(flash_.data() + start, kErased, end - start);
  lockAll();
}

bool Lpc17xxMemory::blank(uint32_t first, uint32_t last, uint32_t* offset, uint32_t* word) const {
  const uint32_t start = sectorStart(first);
  const uint32_t end = sectorStart(last) + sectorLength(last);
  for (uint32_t a = start; a < end; a += 4) {
    uint32_t value;
    memcpy(&value, flash_.data() + a, 4);
    if (value != 0xFFFFFFFF) {
      *offset = a;
      *word = value;
      return false;
    }
  }
  return true;
}

bool Lpc17xxMemory::program(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  const uint8_t* source = at(ramAddress);
  bool wasErased = true;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t& cell = flash_[flashAddress + i];
    if (cell != kErased) wasErased = false;
    cell &= source[i];
  }
  lockAll();
  return wasErased;
}

bool Lpc17xxMemory::dumpFlash(const std::string& path, std::string* error) const {
  const std::string temporary = path + ".part";
  FILE* f = fopen(temporary.c_str(), "wb");
  bool ok = f != nullptr && fwrite(flash_.data(), 1, flash_.size(), f) == flash_.size();
  if (f != nullptr && fclose(f) != 0) ok = false;
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    *error = "cannot write the flash image " + path + ": " + strerror(errno);
    remove(temporary.c_str());
  }
  return ok;
}

}  // namespace lpcsim

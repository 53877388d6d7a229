#include "UuLine.h"

namespace lpcsim {

namespace {

char sChar(uint32_t bits) {
  bits &= 0x3F;
  return bits == 0 ? '`' : static_cast<char>(bits + 32);
}

bool sBits(char c, uint32_t* bits) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u < 32 || u > 96) return false;
  *bits = (u - 32) & 0x3F;
  return true;
}

}  // namespace

std::string UuEncodeLine(const uint8_t* data, size_t n) {
  if (n > kUuBytesPerLine) n = kUuBytesPerLine;
  std::string line(1, sChar(static_cast<uint32_t>(n)));
  for (size_t i = 0; i < n; i += 3) {
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < n) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < n) group |= data[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) line.push_back(sChar(group >> shift));
  }
  return line;
}

bool UuDecodeLine(const std::string& line, std::vector<uint8_t>* out) {
  uint32_t count = 0;
  if (line.empty() || !sBits(line[0], &count) || count > kUuBytesPerLine) return false;
  if (line.size() != 1 + (count + 2) / 3 * 4) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i < line.size(); i += 4) {
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      uint32_t bits = 0;
      if (!sBits(line[i + k], &bits)) return false;
      group = (group << 6) | bits;
    }
    for (int shift = 16; shift >= 0 && bytes.size() < count; shift -= 8) bytes.push_back(static_cast<uint8_t>(group >> shift));
  }
  out->insert(out->end(), bytes.begin(), bytes.end());
  return true;
}

}  // namespace lpcsim

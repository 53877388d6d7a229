#include "SimPacket.h"

#include <cstdio>

namespace devsim {

std::string HexBytes(const uint8_t* bytes, size_t n) {
  std::string text;
  text.reserve(n * 3);
  char cell[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
    text += cell;
  }
  return text;
}

}  // namespace devsim

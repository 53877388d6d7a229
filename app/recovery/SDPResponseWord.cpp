#include "SDPResponseWord.h"

bool OrResponseWord(const std::vector<uint8_t>& bytes, size_t start, size_t offset, uint32_t& value) {
  if (offset > SDP_MAX_WORD_OFFSET || bytes.size() < start + offset + 4) return false;
  const uint8_t* word = bytes.data() + start + offset;
  value |= static_cast<uint32_t>(word[0]) | static_cast<uint32_t>(word[1]) << 8 | static_cast<uint32_t>(word[2]) << 16 |
           static_cast<uint32_t>(word[3]) << 24;
  return true;
}

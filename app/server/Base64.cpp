#include "Base64.h"

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kPad = '=';
const uint8_t kInvalid = 0xFF;

// Maps every byte value to its 6-bit value, or kInvalid when it is not in the alphabet.
struct ReverseTable {
  uint8_t value[256];
  ReverseTable() {
    for (unsigned i = 0; i < 256; ++i) value[i] = kInvalid;
    for (uint8_t i = 0; i < 64; ++i) value[static_cast<uint8_t>(kAlphabet[i])] = i;
  }
};

unsigned sPaddingCount(const char* text, unsigned int length) {
  if (length == 0 || text[length - 1] != kPad) return 0;
  return text[length - 2] == kPad ? 2 : 1;
}

}  // namespace

char* base64_encode(const char* data, unsigned int length, int* outLength) {
  const uint64_t encodedLength = (static_cast<uint64_t>(length) + 2) / 3 * 4;
  if (encodedLength > INT_MAX) return nullptr;
  char* out = static_cast<char*>(std::malloc(encodedLength + 1));
  if (!out) return nullptr;

  const auto* in = reinterpret_cast<const uint8_t*>(data);
  char* cursor = out;
  unsigned int i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    *cursor++ = kAlphabet[(group >> 18) & 0x3F];
    *cursor++ = kAlphabet[(group >> 12) & 0x3F];
    *cursor++ = kAlphabet[(group >> 6) & 0x3F];
    *cursor++ = kAlphabet[group & 0x3F];
  }
  const unsigned int rest = length - i;
  if (rest > 0) {
    const uint32_t group = (in[i] << 16) | (rest == 2 ? in[i + 1] << 8 : 0);
    *cursor++ = kAlphabet[(group >> 18) & 0x3F];
    *cursor++ = kAlphabet[(group >> 12) & 0x3F];
    *cursor++ = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : kPad;
    *cursor++ = kPad;
  }
  *cursor = '\0';
  if (outLength) *outLength = static_cast<int>(encodedLength);
  return out;
}

char* base64_decode(const char* text, unsigned int length, unsigned int* outLength) {
  if (length % 4 != 0) return nullptr;
  const ReverseTable table;
  const unsigned padding = sPaddingCount(text, length);
  const unsigned int decodedLength = length / 4 * 3 - padding;
  char* out = static_cast<char*>(std::malloc(static_cast<size_t>(decodedLength) + 1));
  if (!out) return nullptr;

  const auto* in = reinterpret_cast<const uint8_t*>(text);
  const unsigned int dataEnd = length - padding;  // padding only ever sits after this
  unsigned int written = 0;
  for (unsigned int i = 0; i < length; i += 4) {
    uint32_t group = 0;
    for (unsigned int k = 0; k < 4; ++k) {
      uint8_t sixBits = 0;  // padding decodes as zero bits
      if (i + k < dataEnd) {
        sixBits = table.value[in[i + k]];
        if (sixBits == kInvalid) {
          std::free(out);
          return nullptr;
        }
      }
      group = (group << 6) | sixBits;
    }
    const uint8_t bytes[3] = {static_cast<uint8_t>(group >> 16), static_cast<uint8_t>(group >> 8),
                              static_cast<uint8_t>(group)};
    for (unsigned int b = 0; b < 3 && written < decodedLength; ++b) out[written++] = static_cast<char>(bytes[b]);
  }
  out[decodedLength] = '\0';
  if (outLength) *outLength = decodedLength;
  return out;
}

#include "Uuencode.h"

#include "Log.h"

namespace {

const size_t kBytesPerLine = 45;

// Six bits of a received character; the grave accent and the blank both stand for 0.
uint32_t sSixBits(char c) { return (static_cast<uint32_t>(static_cast<unsigned char>(c)) - 32) & 0x3F; }

bool sIsLineEnd(char c) { return c == '\0' || c == '\r' || c == '\n'; }

}  // namespace

uint32_t sum(const uint8_t* data, size_t length) {
  uint32_t total = 0;
  for (size_t i = 0; i < length; ++i) total += data[i];
  return total;
}

char uuchar(uint32_t v) {
  v &= 0x3F;
  return v == 0 ? '`' : static_cast<char>(v + 32);
}

size_t uuencode(char* out, const uint8_t* data, size_t n) {
  if (n > kBytesPerLine) n = kBytesPerLine;
  size_t pos = 0;
  out[pos++] = uuchar(static_cast<uint32_t>(n));
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t b0 = data[i];
    const uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
    const uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
    out[pos++] = uuchar(b0 >> 2);
    out[pos++] = uuchar((b0 << 4) | (b1 >> 4));
    out[pos++] = uuchar((b1 << 2) | (b2 >> 6));
    out[pos++] = uuchar(b2);
  }
  out[pos] = '\0';
  return n;
}

size_t uudecode(uint8_t* buffer, size_t capacity, const char* line) {
  if (line == nullptr || sIsLineEnd(line[0])) return 0;
  const size_t count = sSixBits(line[0]);
  if (count > capacity) return 0;
  const char* p = line + 1;
  bool overrun = false;
  size_t written = 0;
  while (written < count) {
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      uint32_t bits = 0;
      if (!overrun && sIsLineEnd(*p)) overrun = true;
      if (!overrun) bits = sSixBits(*p++);
      group = (group << 6) | bits;
    }
    for (int k = 2; k >= 0 && written < count; --k) buffer[written++] = static_cast<uint8_t>(group >> (8 * k));
  }
  if (overrun) Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
  return count;
}

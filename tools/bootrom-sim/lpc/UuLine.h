#ifndef BOOTROMSIM_UULINE_H
#define BOOTROMSIM_UULINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lpcsim {

// The boot loader's side of the uuencoded data lines: at most 45 bytes per line, a length
// character, then four characters (six bits each, plus 32; 0 as the grave accent) per three bytes.
constexpr size_t kUuBytesPerLine = 45;

// One line for up to 45 bytes, without a line end.
std::string UuEncodeLine(const uint8_t* data, size_t n);
// Appends the bytes of one line (without its line end) to out. False, appending nothing, for a
// line whose length character or character count does not fit, or that holds characters outside
// the alphabet.
bool UuDecodeLine(const std::string& line, std::vector<uint8_t>* out);

}  // namespace lpcsim

#endif

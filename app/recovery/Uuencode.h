#ifndef UPDATER_UUENCODE_H
#define UPDATER_UUENCODE_H

#include <cstddef>
#include <cstdint>

// The uuencoding of the LPC boot loader's data lines: a length character, then each group of
// three bytes as four characters of six bits each, offset by 32 (0 is sent as the grave accent).

// Sum of the bytes, the checksum the boot loader compares after each block of lines.
uint32_t sum(const uint8_t* data, size_t length);
// The character for the low six bits of v.
char uuchar(uint32_t v);
// Line capacity, with the terminating NUL, that uuencode needs for one line of up to 45 bytes.
constexpr size_t UUENCODE_LINE_CAPACITY = 1 + 60 + 1;
// Encodes the first min(n, 45) bytes of data as one NUL-terminated line into out (at least
// UUENCODE_LINE_CAPACITY bytes); missing bytes of the last group count as 0. Returns the bytes
// consumed.
size_t uuencode(char* out, const uint8_t* data, size_t n);
// Decodes one NUL-terminated line into buffer. Returns the line's byte count, or 0 without
// decoding when that count exceeds capacity. Never writes more than the count; bytes that a
// short line does not carry are stored as 0 (and "Error buffer overrun" is logged), so the
// block's checksum then fails instead of memory outside the line being read.
size_t uudecode(uint8_t* buffer, size_t capacity, const char* line);

#endif

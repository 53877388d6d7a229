#ifndef UPDATER_SDPRESPONSEWORD_H
#define UPDATER_SDPRESPONSEWORD_H

#include <cstddef>
#include <cstdint>
#include <vector>

// What one SDP answer read may collect at most: a ROM says a handful of bytes; a device that
// keeps talking is cut off there instead of being followed for ever.
constexpr size_t SDP_ANSWER_LIMIT = 4096;
// Offsets past the HAB-mode word the transports accept.
constexpr size_t SDP_MAX_WORD_OFFSET = 15;

// ORs the little-endian word at bytes[start + offset .. + 3] into value; false, value untouched,
// when offset is beyond SDP_MAX_WORD_OFFSET or the word does not lie inside bytes.
bool OrResponseWord(const std::vector<uint8_t>& bytes, size_t start, size_t offset, uint32_t& value);

#endif

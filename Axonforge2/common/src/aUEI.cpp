#include "aUEI.h"

#include <algorithm>
#include <iterator>

namespace {

// Command bytes of link-level and system packets.
const uint8_t kNotUEICommands[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

// The trailer is the last payload byte of a bytes chunk.
uint8_t sTrailer(const aPacket* packet) {
  if (packet == nullptr || packet->dataSize == 0) return 0;
  return packet->data[packet->dataSize - 1];
}

bool sIsNotUEICommand(uint8_t command) {
  return std::find(std::begin(kNotUEICommands), std::end(kNotUEICommands), command) !=
         std::end(kNotUEICommands);
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint8_t* aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value);
  return bytes;
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint8_t* aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return bytes;
}

void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count) {
  if (buffer == nullptr) return;
  for (size_t i = 0; i < count; ++i) {
    buffer[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&buffer[i]));
  }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) { return sTrailer(packet) & UEI_BYTES_SEQUENCE_MASK; }

uint8_t aUEI_getBytesContinue(const aPacket* packet) { return (sTrailer(packet) & UEI_BYTES_CONTINUE) ? 1 : 0; }

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr && packet->dataSize >= UEI_HEADER_SIZE + UEI_BYTES_CHUNK_MAX &&
         packet->dataSize <= aPACKET_MAX_DATA;
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  return packet != nullptr && sIsNotUEICommand(packet->data[0]);
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->dataSize > UEI_SIZE_BYTE && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & UEI_OPTION_DIRECTION_MASK) == 0 &&
         (packet->data[2] & UEI_SPECIFIER_STREAM) != 0;
}

bool aUEI_isReply(const aPacket* packet, uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (packet == nullptr || packet->address != module || packet->dataSize < UEI_HEADER_SIZE) return false;
  if (aUEI_isStreamPacket(packet)) return false;
  return packet->data[0] == command && packet->data[1] == option &&
         (packet->data[2] & UEI_SPECIFIER_INDEX_MASK) == index;
}

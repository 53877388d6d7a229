#include "aServerFrame.h"

#include <string.h>

aErr aServerFrame_ToPacket(const uint8_t* bytes, size_t size, aPacket** packet) {
  if (bytes == nullptr || packet == nullptr) return aErrParam;
  *packet = nullptr;
  if (size < 2 || size > aPACKET_MAX_WIRE || bytes[1] != size - 2) return aErrPacket;
  *packet = aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
  return *packet != nullptr ? aErrNone : aErrMemory;
}

size_t aServerFrame_FromPacket(const aPacket* packet, uint8_t* buffer) {
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  memcpy(buffer + 2, packet->data, packet->dataSize);
  return packet->dataSize + 2u;
}

#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

namespace {

bool sIsValid(const aPacket* packet) { return packet != nullptr && packet->check == aPACKET_CHECK; }

// The getters share one shape: out pointer first, then validity and enough payload.
aErr sPayloadByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!sIsValid(packet) || packet->dataSize <= position) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

bool sIsValidAddress(uint8_t byte) { return byte != 0 && (byte & 1) == 0; }

}  // namespace

aPacket* aPacket_Create(void) {
  aPacket* packet = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
  if (packet != nullptr) packet->check = aPACKET_CHECK;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  memcpy(packet->data, data, length);
  packet->curSize = static_cast<uint8_t>(length + 2);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!sIsValid(packet)) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return sPayloadByte(packet, 0, 0xFF, command);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sPayloadByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sPayloadByte(packet, 2, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!sIsValid(packet)) return aErrParam;
  packet->curSize = 0;
  packet->address = 0;
  packet->dataSize = 0;
  memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!sIsValid(packet)) return aErrParam;
  // The count advances even for a rejected byte, so a stream out of step overruns quickly.
  if (packet->curSize >= aPACKET_MAX_WIRE) {
    packet->curSize = aPACKET_MAX_WIRE + 1;
    return aErrOverrun;
  }
  packet->curSize++;
  if (packet->address == 0) {
    if (!sIsValidAddress(byte)) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  if (packet->curSize > packet->dataSize + 2) return aErrPacket;
  packet->data[packet->curSize - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return sIsValid(packet) && packet->curSize == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  (*packet)->check = 0;
  free(*packet);
  *packet = nullptr;
  return aErrNone;
}

#ifndef AXONFORGE2_APACKET_H
#define AXONFORGE2_APACKET_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

// Largest payload of one link packet, and the largest wire image (address + length + payload).
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)
// Signature of a live packet record.
#define aPACKET_CHECK 0xBEEF

// One link packet. On the wire it is exactly address, dataSize, then dataSize payload bytes.
// Always heap-allocated through aPacket_Create*; the fields may be read directly once the
// packet is known to be valid.
typedef struct aPacket {
  uint16_t check;     // aPACKET_CHECK while alive
  uint8_t curSize;    // wire bytes accumulated so far
  uint8_t address;    // module address, or a link-control code
  uint8_t dataSize;   // payload bytes, 0..aPACKET_MAX_DATA
  uint8_t data[aPACKET_MAX_DATA];
} aPacket;

#ifdef __cplusplus
extern "C" {
#endif

// A new, empty packet ready for byte-by-byte assembly; null when out of memory.
aPacket* aPacket_Create(void);
// A complete packet holding a copy of data; null when data is null or length exceeds the maximum.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A complete copy of a valid packet; null for an invalid one.
aPacket* aPacket_Copy(const aPacket* packet);

// Payload byte 0 (command), byte 1 & 0x3F (option code), byte 2 & 0x1F (entity index).
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Empties the packet for a new assembly.
aErr aPacket_Reset(aPacket* packet);
// Feeds one received wire byte into the assembly; see aPacket_IsComplete for when it is done.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);

// Frees the packet and nulls the caller's pointer.
aErr aPacket_Destroy(aPacket** packet);

#ifdef __cplusplus
}
#endif

#endif

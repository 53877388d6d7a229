#ifndef AXONFORGE2_AUEI_H
#define AXONFORGE2_AUEI_H

// The UEI (universal entity interface) payload carried inside a packet:
//   data[0] command, data[1] option, data[2] specifier, data[3..] value.
// Multi-byte values are big-endian on the wire.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aPacket.h"

// Option byte: bits 0..5 are the option code, bits 6..7 the direction.
#define UEI_OPTION_MASK 0x3F
#define UEI_OPTION_GET 0x40  // request: read a value
#define UEI_OPTION_SET 0x80  // request: write a value
#define UEI_OPTION_ACK 0xC0  // reply to a set
#define UEI_OPTION_DIRECTION_MASK 0xC0

// Specifier byte: bits 0..4 entity index, then reply-to-host, stream sample and error flags.
#define UEI_SPECIFIER_INDEX_MASK 0x1F
#define UEI_SPECIFIER_REPLY 0x20
#define UEI_SPECIFIER_STREAM 0x40
#define UEI_SPECIFIER_ERROR 0x80

// Payload sizes of replies by value width (three header bytes plus the value).
#define UEI_HEADER_SIZE 3
#define UEI_SIZE_NONE 3
#define UEI_SIZE_BYTE 4
#define UEI_SIZE_SHORT 5
#define UEI_SIZE_INT 7

// Bytes transfer: header, a chunk of up to 24 bytes, one trailer byte.
#define UEI_BYTES_CHUNK_MAX 24
#define UEI_BYTES_CONTINUE 0x80       // trailer: more chunks follow
#define UEI_BYTES_SEQUENCE_MASK 0x7F  // trailer: chunk sequence number

// The stream entity: a set of option UEI_STREAM_ENABLE starts an entity's samples (a get of it
// reads the streaming state), UEI_STREAM_DISABLE stops them.
#define UEI_STREAM_COMMAND 0x5D
#define UEI_STREAM_ENABLE 1
#define UEI_STREAM_DISABLE 2

// Value types of a uei record.
#define UEI_TYPE_NONE 0u
#define UEI_TYPE_BYTE 1u
#define UEI_TYPE_SHORT 2u
#define UEI_TYPE_INT 4u
#define UEI_TYPE_BYTES 5u

// A bytes value: the data and its total length.
typedef struct ueiBytes {
  const uint8_t* data;
  size_t length;
} ueiBytes;

typedef union ueiValue {
  uint8_t byteVal;
  uint16_t shortVal;
  uint32_t intVal;
  ueiBytes bytesVal;
} ueiValue;

// One UEI request or reply in memory. For an error reply, specifier keeps the received byte
// (UEI_SPECIFIER_ERROR set) and value.byteVal holds the device's error code.
typedef struct uei {
  uint8_t module;
  uint8_t command;
  uint8_t option;
  uint8_t specifier;
  ueiValue value;
  uint32_t type;  // UEI_TYPE_*
} uei;

#ifdef __cplusplus
extern "C" {
#endif

uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
uint8_t* aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
uint8_t* aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts count words in place from big-endian byte order to host order.
void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count);

// Trailer of a bytes chunk: its sequence number, and 1 when more chunks follow (else 0).
// Both read 0 for a null packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// A chunk packet is full when its payload is 27 or 28 bytes.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Link-level and system commands are not UEI payloads.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// An unsolicited stream sample.
bool aUEI_isStreamPacket(const aPacket* packet);
// True for a packet from module that answers a request for command, option (reply form) and
// entity index: a header of at least three bytes with those values, error replies included. A
// stream sample carries the plain option and index of a get reply, but is never a reply.
bool aUEI_isReply(const aPacket* packet, uint8_t module, uint8_t command, uint8_t option, uint8_t index);

#ifdef __cplusplus
}
#endif

#endif

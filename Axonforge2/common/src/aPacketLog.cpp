#include "aPacketLog.h"

#include <stdlib.h>

namespace {

uint32_t sUsed(const aPacketLog* log) { return (log->writeIndex - log->readIndex + log->size) % log->size; }

uint8_t sByteAt(const aPacketLog* log, uint32_t index) { return log->buffer[index % log->size]; }

void sStore(aPacketLog* log, uint8_t byte) {
  log->buffer[log->writeIndex] = byte;
  log->writeIndex = (log->writeIndex + 1) % log->size;
}

void sDropOldest(aPacketLog* log) {
  const uint32_t recordLength = 2u + sByteAt(log, log->readIndex + 1);
  log->readIndex = (log->readIndex + recordLength) % log->size;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0) return nullptr;
  auto* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
  if (log == nullptr) return nullptr;
  log->buffer = static_cast<uint8_t*>(malloc(size));
  if (log->buffer == nullptr) {
    free(log);
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint32_t length, const uint8_t* bytes) {
  if (log == nullptr || log->buffer == nullptr || (bytes == nullptr && length > 0)) return aErrParam;
  if (length > aPACKETLOG_MAX_RECORD) return aErrParam;  // would not survive the one-byte length
  const uint64_t recordLength = uint64_t(length) + 2;
  // One byte always stays free, so that equal indices can mean empty.
  while (recordLength < log->size && recordLength >= log->size - sUsed(log)) sDropOldest(log);
  if (recordLength >= log->size) return aErrOverrun;
  sStore(log, direction);
  sStore(log, static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) sStore(log, bytes[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
  if (log == nullptr || log->buffer == nullptr || direction == nullptr || length == nullptr) return aErrParam;
  if (log->readIndex == log->writeIndex) return aErrNotFound;
  const uint32_t capacity = *length;
  const uint32_t recordLength = sByteAt(log, log->readIndex + 1);
  *direction = sByteAt(log, log->readIndex);
  *length = recordLength;
  if (capacity < recordLength) return aErrOverrun;
  if (buffer == nullptr && recordLength > 0) return aErrParam;
  for (uint32_t i = 0; i < recordLength; ++i) buffer[i] = sByteAt(log, log->readIndex + 2 + i);
  sDropOldest(log);
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return aErrNone;
  (*log)->enabled = false;
  free((*log)->buffer);
  free(*log);
  *log = nullptr;
  return aErrNone;
}

#include "aStream.h"

#include <stdlib.h>
#include <string.h>

#define aSTREAM_CHECK 0x4321
#define aSTREAM_PUSHBACK_STEP 512u

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc destroy;
  aStreamInterruptProc interrupt;
  void* reference;
  uint8_t* pushBack;  // circular; allocated on first use
  uint32_t pushCount;
  uint32_t pushCapacity;
  uint32_t pushWrite;
  uint32_t pushRead;
  uint16_t check;
};

namespace {

bool sIsValid(const aStream* stream) { return stream != nullptr && stream->check == aSTREAM_CHECK; }

// A scratch area that lives on the stack for the usual small sizes.
class Scratch {
 public:
  explicit Scratch(size_t size)
      : data_(size <= sizeof local_ ? local_ : static_cast<uint8_t*>(malloc(size))) {}
  ~Scratch() {
    if (data_ != local_) free(data_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  uint8_t* data() { return data_; }

 private:
  uint8_t local_[64];
  uint8_t* data_;
};

// Makes room for extra more bytes, keeping one slot free; held bytes are unwrapped in order.
aErr sReserve(aStream* stream, size_t extra) {
  uint32_t capacity = stream->pushCapacity;
  while (capacity == 0 || stream->pushCount + extra > capacity - 1) {
    capacity += aSTREAM_PUSHBACK_STEP;
  }
  if (capacity == stream->pushCapacity) return aErrNone;
  uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
  if (grown == nullptr) return aErrMemory;
  for (uint32_t i = 0; i < stream->pushCount; ++i) {
    grown[i] = stream->pushBack[(stream->pushRead + i) % stream->pushCapacity];
  }
  free(stream->pushBack);
  stream->pushBack = grown;
  stream->pushCapacity = capacity;
  stream->pushRead = 0;
  stream->pushWrite = stream->pushCount;
  return aErrNone;
}

bool sTakePushedBack(aStream* stream, uint8_t* byte) {
  if (stream->pushCount == 0) return false;
  *byte = stream->pushBack[stream->pushRead];
  stream->pushRead = (stream->pushRead + 1) % stream->pushCapacity;
  stream->pushCount--;
  return true;
}

// Gives bytes back in front of those already held, so they are read next, in order.
aErr sGiveBack(aStream* stream, const uint8_t* bytes, size_t length) {
  if (length == 0) return aErrNone;
  const aErr err = sReserve(stream, length);
  if (err != aErrNone) return err;
  for (size_t i = length; i > 0; --i) {
    stream->pushRead = (stream->pushRead + stream->pushCapacity - 1) % stream->pushCapacity;
    stream->pushBack[stream->pushRead] = bytes[i - 1];
    stream->pushCount++;
  }
  return aErrNone;
}

aErr sReadOne(aStream* stream, uint8_t* byte) {
  if (sTakePushedBack(stream, byte)) return aErrNone;
  return stream->get(byte, stream->reference);
}

// What a record read has gathered: stored bytes in the caller's buffer, and the bytes that match
// the beginning of the delimiter so far.
struct RecordState {
  uint8_t* stored;
  size_t count;
  size_t capacity;
  uint8_t* pending;
  size_t matched;
};

// Moves the oldest pending byte into the stored bytes.
void sStorePending(RecordState* record) {
  record->stored[record->count++] = record->pending[0];
  memmove(record->pending, record->pending + 1, --record->matched);
}

// Gives everything gathered back to the stream, stored bytes first.
aErr sGiveBackRecord(aStream* stream, const RecordState& record) {
  const aErr err = sGiveBack(stream, record.pending, record.matched);
  return err != aErrNone ? err : sGiveBack(stream, record.stored, record.count);
}

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc destroy, void* reference) {
  aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
  if (stream == nullptr) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->destroy = destroy;
  stream->reference = reference;
  stream->check = aSTREAM_CHECK;
  return stream;
}

aErr aStream_Destroy(aStream** stream) {
  if (stream == nullptr || !sIsValid(*stream)) return aErrParam;
  aStream* s = *stream;
  const aErr result = s->destroy != nullptr ? s->destroy(s->reference) : aErrNone;
  free(s->pushBack);
  s->check = 0;
  free(s);
  *stream = nullptr;
  return result;
}

aErr aStream_SetInterrupt(aStream* stream, aStreamInterruptProc interrupt) {
  if (!sIsValid(stream)) return aErrParam;
  stream->interrupt = interrupt;
  return aErrNone;
}

aErr aStream_Interrupt(aStream* stream) {
  if (!sIsValid(stream)) return aErrParam;
  return stream->interrupt != nullptr ? stream->interrupt(stream->reference) : aErrNone;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
  if (!sIsValid(stream)) return aErrParam;
  const aErr err = sReserve(stream, 1);
  if (err != aErrNone) return err;
  stream->pushBack[stream->pushWrite] = byte;
  stream->pushWrite = (stream->pushWrite + 1) % stream->pushCapacity;
  stream->pushCount++;
  return aErrNone;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length) {
  if (!sIsValid(stream) || buffer == nullptr) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  Scratch scratch(length);
  if (scratch.data() == nullptr) return aErrResource;
  size_t got = 0;
  aErr err = aErrNone;
  while (got < length && (err = sReadOne(stream, scratch.data() + got)) == aErrNone) ++got;
  if (err == aErrNotReady) {
    // All or nothing: keep what arrived for the next read.
    const aErr kept = sGiveBack(stream, scratch.data(), got);
    return kept != aErrNone ? kept : aErrNotReady;
  }
  if (err == aErrNone || err == aErrEOF) memcpy(buffer, scratch.data(), got);
  return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length) {
  if (!sIsValid(stream) || bytes == nullptr) return aErrParam;
  if (stream->put == nullptr && stream->write == nullptr) return aErrMode;
  if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
    return length > 0 ? stream->write(bytes, length, stream->reference) : aErrNone;
  }
  for (size_t i = 0; i < length; ++i) {
    const aErr err = stream->put(bytes[i], stream->reference);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* delimiter, size_t delimiterLength) {
  if (!sIsValid(stream) || buffer == nullptr || length == nullptr || delimiter == nullptr ||
      delimiterLength == 0 || capacity == 0) {
    return aErrParam;
  }
  if (stream->get == nullptr) return aErrMode;
  Scratch pending(delimiterLength);
  if (pending.data() == nullptr) return aErrResource;
  RecordState record{buffer, 0, capacity, pending.data(), 0};
  for (;;) {
    uint8_t byte = 0;
    const aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNotReady) {
      const aErr kept = sGiveBackRecord(stream, record);
      return kept != aErrNone ? kept : aErrNotReady;
    }
    if (err == aErrEOF) {
      // A delimiter cut short by the end is data.
      while (record.matched > 0 && record.count < record.capacity) sStorePending(&record);
      const aErr kept = sGiveBack(stream, record.pending, record.matched);
      if (kept != aErrNone) return kept;
      if (record.count == 0) return aErrEOF;
      break;
    }
    if (err != aErrNone) return err;
    record.pending[record.matched++] = byte;
    // Bytes that can no longer begin the delimiter are data.
    while (record.matched > 0 && memcmp(record.pending, delimiter, record.matched) != 0) {
      sStorePending(&record);
      if (record.count == record.capacity) break;
    }
    if (record.matched == delimiterLength) break;
    if (record.count == record.capacity) {
      const aErr kept = sGiveBack(stream, record.pending, record.matched);
      if (kept != aErrNone) return kept;
      break;
    }
  }
  *length = record.count;
  return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength) {
  if (!sIsValid(stream) || bytes == nullptr || delimiter == nullptr || delimiterLength == 0) {
    return aErrParam;
  }
  const aErr err = aStream_Write(stream, bytes, length);
  return err != aErrNone ? err : aStream_Write(stream, delimiter, delimiterLength);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t capacity, const char* delimiter) {
  if (buffer == nullptr || delimiter == nullptr || capacity < 2) return aErrParam;
  size_t length = 0;
  const aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, capacity - 1,
                                      reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter));
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity < 2) return aErrParam;
  static const uint8_t kNul = 0;
  size_t length = 0;
  const aErr err =
      aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, capacity - 1, &kNul, 1);
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (text == nullptr) return aErrParam;
  static const uint8_t kNul = 0;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text), &kNul, 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter) {
  if (text == nullptr || delimiter == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!sIsValid(source) || !sIsValid(destination)) return aErrParam;
  if (source->get == nullptr || destination->put == nullptr) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr err = aStream_Read(source, &byte, 1);
    if (err == aErrEOF) return aErrNone;
    if (err == aErrNone) err = destination->put(byte, destination->reference);
    if (err != aErrNone) return err;
  }
}

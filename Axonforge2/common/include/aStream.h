#ifndef AXONFORGE2_ASTREAM_H
#define AXONFORGE2_ASTREAM_H

// A byte stream: four transport operations (get one byte, put one byte, write a block, delete)
// over an opaque transport reference, plus a push-back buffer of bytes given back to the stream.
// Any operation may be absent (an input-only stream has no put or write).
//
// Transports: files (aFileStream.h), TCP sockets (aSocketStream.h), serial ports
// (aSerialStream.h); others plug in through aStream_Create.
//
// A stream is not locked: one thread may read while one other thread writes.

#include <stddef.h>
#include <stdint.h>

#include "aError.h"

// Reads one byte; aErrNotReady when none is available now, aErrEOF at the end.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* reference);
// Releases the transport and its reference.
typedef aErr (*aStreamDeleteProc)(void* reference);
// Makes a get that is waiting for a byte return aErrNotReady now (or, when none is waiting, the
// next one); called from another thread than the reader.
typedef aErr (*aStreamInterruptProc)(void* reference);

typedef struct aStream aStream;

#ifdef __cplusplus
extern "C" {
#endif

// A stream that owns reference (released by the delete operation); null when out of memory.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc destroy, void* reference);
// Runs the transport's delete (its result is returned), frees the stream, nulls the handle.
aErr aStream_Destroy(aStream** stream);
// Gives the stream an interrupt operation. Set it before the stream is shared between threads;
// transports whose get never waits long need none.
aErr aStream_SetInterrupt(aStream* stream, aStreamInterruptProc interrupt);
// Ends a reader's wait for a byte without waiting for the transport's time-out, so that a link
// can stop or resynchronise at once. Safe while another thread reads; aErrNone when the stream
// has no interrupt operation (its gets return soon by themselves).
aErr aStream_Interrupt(aStream* stream);

// Reads exactly length bytes or none: when the transport runs dry (aErrNotReady) the bytes that
// did arrive are kept for the next read. At aErrEOF the bytes that arrived are delivered.
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length);
// Writes a block: one transport write for more than one byte when there is one, else byte by byte.
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length);

// Reads bytes up to a delimiter (not stored) or until capacity bytes are stored; length receives
// the count. aErrNotReady keeps everything read for the next call; aErrEOF after at least one
// byte ends the record successfully.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* delimiter, size_t delimiterLength);
// The bytes, then the delimiter.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength);
// Text ended by a 0 byte; at most capacity - 1 characters, NUL-terminated.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t capacity);
// The text and its terminating 0.
aErr aStream_WriteCString(aStream* stream, const char* text);
// Text ended by the delimiter text; at most capacity - 1 characters, NUL-terminated.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t capacity, const char* delimiter);
// The text, then the delimiter text including its terminating 0.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter);

// Copies bytes from source to destination until the source reports aErrEOF (success) or another
// error (returned).
aErr aStream_Flush(aStream* source, aStream* destination);

// Gives one byte back to the stream: it is read after the bytes already given back.
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

#ifdef __cplusplus
}
#endif

#endif

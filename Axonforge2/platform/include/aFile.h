#ifndef AXONFORGE2_AFILE_H
#define AXONFORGE2_AFILE_H

// Binary files over stdio, with aErr results.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

// Longest path accepted (characters, without the terminating NUL).
#define aFILE_MAX_PATH 4096

#define aFILE_MODE_READ 0u    // "rb": read, read line, seek, size, position
#define aFILE_MODE_WRITE 1u   // "wb" (truncating): write, printf, unbuffered, seek, size, position
#define aFILE_MODE_APPEND 2u  // "ab+", positioned at the end: everything
#define aFILE_MODE_INVALID 3u // refused

typedef struct aFile aFile;

#ifdef __cplusplus
extern "C" {
#endif

// True when path exists and is not a directory.
bool aFile_Exists(const char* path);
// Null for a null, empty or over-long path, an invalid mode, or when the file cannot be opened.
aFile* aFile_Open(const char* path, uint32_t mode);
// Closes, frees and nulls the handle (nulled even when closing fails).
aErr aFile_Close(aFile** file);

// count (may be null) receives the bytes transferred. Reading nothing gives aErrEOF; writing
// fewer bytes than asked gives aErrIO.
aErr aFile_Read(aFile* file, uint8_t* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const uint8_t* bytes, size_t length, size_t* count);
// One line including its newline, NUL-terminated. aErrEOF at the end, aErrOverrun when the
// line fills the buffer without its newline (the part read is delivered).
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// origin 0 = start, 1 = current position, 2 = end. Targets outside 0..size give aErrRange.
aErr aFile_Seek(aFile* file, long offset, int origin);
aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_GetPosition(aFile* file, size_t* position);
aErr aFile_SetUnbuffered(aFile* file);

aErr aFile_Delete(const char* path);

#ifdef __cplusplus
}
#endif

#endif

#include "aFile.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aDebug.h"

#define aFILE_CHECK 0xFEED

namespace {

enum class Direction { None, Reading, Writing };

}  // namespace

struct aFile {
  uint16_t check;
  uint32_t mode;
  FILE* stream;
  // stdio needs a positioning call between reading and writing on an update stream.
  Direction last;
};

namespace {

bool sIsValid(const aFile* file) { return file != nullptr && file->check == aFILE_CHECK; }

bool sPathUsable(const char* path) {
  return path != nullptr && path[0] != '\0' && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool sCanRead(const aFile* file) {
  return file->mode == aFILE_MODE_READ || file->mode == aFILE_MODE_APPEND;
}

bool sCanWrite(const aFile* file) {
  return file->mode == aFILE_MODE_WRITE || file->mode == aFILE_MODE_APPEND;
}

// Validates the handle and the mode an operation needs, and prepares the stream for it.
aErr sPrepare(aFile* file, bool (*permits)(const aFile*), Direction direction) {
  if (!sIsValid(file)) return aErrParam;
  if (!permits(file)) return aErrMode;
  if (file->last != Direction::None && file->last != direction) fseek(file->stream, 0, SEEK_CUR);
  file->last = direction;
  return aErrNone;
}

aErr sErrnoToErr(int error) {
  switch (error) {
    case ENOENT: return aErrNotFound;
    case EACCES: return aErrPermission;
    case EBUSY: return aErrBusy;
    default: return aErrIO;
  }
}

const char* sModeText(uint32_t mode) {
  switch (mode) {
    case aFILE_MODE_READ: return "rb";
    case aFILE_MODE_WRITE: return "wb";
    case aFILE_MODE_APPEND: return "ab+";
    default: return nullptr;
  }
}

bool sTell(aFile* file, long* position) {
  *position = ftell(file->stream);
  return *position >= 0;
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (!sPathUsable(path)) return false;
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode) {
  const char* modeText = sModeText(mode);
  if (!sPathUsable(path) || modeText == nullptr) return nullptr;
  FILE* stream = fopen(path, modeText);
  if (stream == nullptr) {
    aDebug_Printf(0x1, "aFile_Open: %s: %s (%d)\n", path, strerror(errno), sErrnoToErr(errno));
    return nullptr;
  }
  if (mode == aFILE_MODE_APPEND) fseek(stream, 0, SEEK_END);
  aFile* file = static_cast<aFile*>(calloc(1, sizeof(aFile)));
  if (file == nullptr) {
    fclose(stream);
    return nullptr;
  }
  file->check = aFILE_CHECK;
  file->mode = mode;
  file->stream = stream;
  file->last = Direction::None;
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr || !sIsValid(*file)) return aErrParam;
  const aErr result = fclose((*file)->stream) == 0 ? aErrNone : aErrIO;
  (*file)->check = 0;
  free(*file);
  *file = nullptr;
  return result;
}

aErr aFile_Read(aFile* file, uint8_t* buffer, size_t length, size_t* count) {
  aErr err = sPrepare(file, sCanRead, Direction::Reading);
  if (err != aErrNone) return err;
  if (buffer == nullptr && length > 0) return aErrParam;
  const size_t got = length > 0 ? fread(buffer, 1, length, file->stream) : 0;
  if (count != nullptr) *count = got;
  if (length > 0 && got == 0) return ferror(file->stream) ? aErrIO : aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFile* file, const uint8_t* bytes, size_t length, size_t* count) {
  aErr err = sPrepare(file, sCanWrite, Direction::Writing);
  if (err != aErrNone) return err;
  if (bytes == nullptr && length > 0) return aErrParam;
  const size_t put = length > 0 ? fwrite(bytes, 1, length, file->stream) : 0;
  if (count != nullptr) *count = put;
  return put == length ? aErrNone : aErrIO;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  aErr err = sPrepare(file, sCanRead, Direction::Reading);
  if (err != aErrNone) return err;
  if (buffer == nullptr || size < 2 || size > INT32_MAX) return aErrParam;
  if (fgets(buffer, static_cast<int>(size), file->stream) == nullptr) {
    buffer[0] = '\0';
    if (length != nullptr) *length = 0;
    return ferror(file->stream) ? aErrIO : aErrEOF;
  }
  const size_t n = strlen(buffer);
  if (length != nullptr) *length = n;
  const bool filled = n == size - 1 && buffer[n - 1] != '\n';
  return filled ? aErrOverrun : aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  aErr err = sPrepare(file, sCanWrite, Direction::Writing);
  if (err != aErrNone) return err;
  if (format == nullptr) return aErrParam;
  va_list args;
  va_start(args, format);
  const int n = vfprintf(file->stream, format, args);
  va_end(args);
  return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!sIsValid(file) || size == nullptr) return aErrParam;
  long position = 0;
  long end = 0;
  if (!sTell(file, &position) || fseek(file->stream, 0, SEEK_END) != 0 || !sTell(file, &end) ||
      fseek(file->stream, position, SEEK_SET) != 0) {
    return aErrIO;
  }
  *size = static_cast<size_t>(end);
  return aErrNone;
}

aErr aFile_Seek(aFile* file, long offset, int origin) {
  if (!sIsValid(file)) return aErrParam;
  if (origin < 0 || origin > 2) return aErrParam;
  size_t size = 0;
  const aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) return err;
  long base = origin == 2 ? static_cast<long>(size) : 0;
  if (origin == 1 && !sTell(file, &base)) return aErrIO;
  const long target = base + offset;
  if (target < 0 || target > static_cast<long>(size)) return aErrRange;
  if (fseek(file->stream, target, SEEK_SET) != 0) return aErrIO;
  file->last = Direction::None;
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, size_t* position) {
  if (!sIsValid(file) || position == nullptr) return aErrParam;
  long now = 0;
  if (!sTell(file, &now)) return aErrIO;
  *position = static_cast<size_t>(now);
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!sIsValid(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrIO;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
  return unlink(path) == 0 ? aErrNone : sErrnoToErr(errno);
}

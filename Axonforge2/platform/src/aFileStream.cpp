#include "aFileStream.h"

#include "aFile.h"

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
  return aFile_Read(static_cast<aFile*>(reference), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* bytes, size_t length, void* reference) {
  return aFile_Write(static_cast<aFile*>(reference), bytes, length, nullptr);
}

aErr sFilePut(uint8_t byte, void* reference) { return sFileWrite(&byte, 1, reference); }

aErr sFileDelete(void* reference) {
  aFile* file = static_cast<aFile*>(reference);
  return aFile_Close(&file);
}

aErr sCreate(const char* path, uint32_t mode, aStream** stream) {
  if (path == nullptr || stream == nullptr) return aErrResource;
  *stream = nullptr;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;
  const bool input = mode == aFILE_MODE_READ;
  *stream = aStream_Create(input ? sFileGet : nullptr, input ? nullptr : sFilePut,
                           input ? nullptr : sFileWrite, sFileDelete, file);
  if (*stream == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreate(path, aFILE_MODE_READ, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreate(path, aFILE_MODE_WRITE, stream);
}

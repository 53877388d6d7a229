#ifndef AXONFORGE2_ADIRECTORY_H
#define AXONFORGE2_ADIRECTORY_H

#include <stdint.h>

#include <string>

#include "aError.h"

#define aDIR_PATH_SEP "/"

// Longest path the directory functions handle (without the terminating null).
#define aDIR_MAX_PATH 4096

// One directory entry handed to an aDirectory_List callback.
typedef struct aDirectoryListData {
  char path[aDIR_MAX_PATH + 1];  // the listed directory joined with the entry name
  uint32_t size;                 // low 32 bits of the entry's size in bytes
  bool isDirectory;
} aDirectoryListData;

// Answers true to continue the listing, false to stop it. The entry is valid only during the call.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* context);

// first, then "/" and each further argument, up to a null pointer. Nothing is elided or normalised.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

// Joins first and at most 10 further parts (ended by a null pointer) into dst, inserting a separator
// only where neither side of a joint already has one. aErrParam: dst null, dst overlapping an
// argument, or too many parts; aErrOverrun: the result does not fit (dst is then left empty).
aErr aDirectory_BuildPath(char* dst, unsigned int size, const char* first, ...) __attribute__((sentinel));
aErr aDirectory_JoinPath(char* dst, unsigned int size, const char* a, const char* b);

bool aDirectory_Exists(const char* path);
// Creates path and every missing parent with exactly the given mode; an existing directory is success.
aErr aDirectory_Ensure(const char* path, unsigned int mode);
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, unsigned int size);
aErr aDirectory_ExecutableFilePath(char* buffer, unsigned int size);
// The user's home directory from the password database, else from HOME. aErrNotFound when neither
// knows one, aErrOverrun when it does not fit the buffer.
aErr aDirectory_GetHomeDirectory(char* buffer, unsigned int size);

#endif

#ifndef AXONFORGE2_AFILESTREAM_H
#define AXONFORGE2_AFILESTREAM_H

// Streams over files: input streams only get (aErrEOF at the end); output streams truncate the
// file and only put and write.

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// aErrResource and no stream on any failure (null path or out, file not opened).
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif

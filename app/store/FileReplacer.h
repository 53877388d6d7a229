#ifndef UPDATER_FILEREPLACER_H
#define UPDATER_FILEREPLACER_H

#include <cstddef>
#include <string>

#include "aError.h"

// Outcome of replacing a file's contents.
struct FileReplaceResult {
  aErr code = aErrNone;  // aErrNone on success
  int systemError = 0;   // errno of the step that failed
  bool opened = false;   // false when not even the temporary file could be created
};

// Replaces the contents of `path` so that anyone reading it (also after a crash or a power cut)
// sees either the old file whole or the new one whole: the bytes go to a hidden temporary file
// in the same directory, are flushed to disk, and the temporary file is renamed over `path`.
// On any failure the temporary file is removed and the old file stays as it was. An existing
// file's permission bits are kept; a new file gets the usual 0666 less the umask. A symbolic
// link is followed (the link stays); a device or pipe is written in place, never replaced.
FileReplaceResult ReplaceFileContents(const std::string& path, const void* data, size_t length);

// What a user reads about a file that could not be written: "<path> could not be written: <reason>".
std::string DescribeWriteFailure(const std::string& path, int systemError);

#endif

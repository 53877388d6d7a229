#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "aDebug.h"

namespace {

const unsigned int kMaxExtraParts = 10;
const char kSep = aDIR_PATH_SEP[0];

bool sOverlaps(const char* part, const char* dst, unsigned int size) {
  return part >= dst && part < dst + size;
}

// Appends part to dst (holding len characters) with a separator where needed; false when it does
// not fit.
bool sAppendPart(char* dst, unsigned int size, size_t& len, const char* part) {
  bool needSep = len > 0 && dst[len - 1] != kSep && part[0] != kSep;
  size_t partLen = strlen(part);
  size_t total = len + (needSep ? 1 : 0) + partLen;
  if (total + 1 > size) return false;
  if (needSep) dst[len++] = kSep;
  memcpy(dst + len, part, partLen);
  len += partLen;
  dst[len] = '\0';
  return true;
}

aErr sJoinParts(char* dst, unsigned int size, const char* const* parts, unsigned int count) {
  for (unsigned int i = 0; i < count; ++i)
    if (parts[i] == nullptr || sOverlaps(parts[i], dst, size)) return aErrParam;
  if (size == 0) return aErrOverrun;
  size_t len = 0;
  dst[0] = '\0';
  for (unsigned int i = 0; i < count; ++i) {
    if (!sAppendPart(dst, size, len, parts[i])) {
      dst[0] = '\0';
      return aErrOverrun;
    }
  }
  return aErrNone;
}

bool sIsDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// Creates one directory level; the mode is applied exactly, whatever the process umask says.
aErr sMakeLevel(const std::string& path, unsigned int mode) {
  if (aDirectory_Exists(path.c_str())) return aErrNone;
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) return errno == EEXIST ? aErrNone : aErrPermission;
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0 ? aErrNone : aErrPermission;
}

aErr sCopyOut(char* buffer, unsigned int size, const char* text) {
  size_t len = strlen(text);
  if (len + 1 > size) return aErrOverrun;
  memcpy(buffer, text, len + 1);
  return aErrNone;
}

std::string sHomeFromPasswordDatabase() {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == ERANGE &&
         scratch.size() < (1u << 20))
    scratch.resize(scratch.size() * 2);
  if (found == nullptr || found->pw_dir == nullptr) return std::string();
  return found->pw_dir;
}

}  // namespace

std::string BuildPath(const char* first, ...) {
  std::string path = first ? first : "";
  if (first == nullptr) return path;
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(args);
  return path;
}

aErr aDirectory_BuildPath(char* dst, unsigned int size, const char* first, ...) {
  if (dst == nullptr || first == nullptr) return aErrParam;
  const char* parts[kMaxExtraParts + 1];
  unsigned int count = 0;
  parts[count++] = first;
  va_list args;
  va_start(args, first);
  const char* part = va_arg(args, const char*);
  while (part != nullptr && count <= kMaxExtraParts) {
    parts[count++] = part;
    part = va_arg(args, const char*);
  }
  va_end(args);
  if (part != nullptr) return aErrParam;
  return sJoinParts(dst, size, parts, count);
}

aErr aDirectory_JoinPath(char* dst, unsigned int size, const char* a, const char* b) {
  if (dst == nullptr || a == nullptr || b == nullptr) return aErrParam;
  const char* parts[2] = {a, b};
  return sJoinParts(dst, size, parts, 2);
}

bool aDirectory_Exists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, unsigned int mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  std::string full(path);
  for (size_t pos = full.find(kSep, 1); pos != std::string::npos; pos = full.find(kSep, pos + 1)) {
    if (full[pos - 1] == kSep) continue;
    aErr err = sMakeLevel(full.substr(0, pos), mode);
    if (err != aErrNone) return err;
  }
  aErr err = sMakeLevel(full, mode);
  if (err != aErrNone) return err;
  // Something other than a directory standing at the path is not success.
  return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context) {
  if (path == nullptr || callback == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  aDirectoryListData entry;
  for (struct dirent* d = readdir(dir); d != nullptr; d = readdir(dir)) {
    struct stat st;
    if (aDirectory_JoinPath(entry.path, sizeof entry.path, path, d->d_name) != aErrNone) continue;
    if (stat(entry.path, &st) != 0) continue;
    entry.size = static_cast<uint32_t>(st.st_size);
    entry.isDirectory = S_ISDIR(st.st_mode);
    if (!callback(&entry, context)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  for (struct dirent* d = readdir(dir); d != nullptr; d = readdir(dir)) {
    if (sIsDotEntry(d->d_name)) continue;
    std::string entryPath = std::string(path) + aDIR_PATH_SEP + d->d_name;
    struct stat st;
    // lstat: a link to a directory is removed as a link, never followed into another tree.
    bool isDir = lstat(entryPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (isDir) {
      if (aDirectory_DeleteTree(entryPath.c_str()) != aErrNone) break;
    } else if (unlink(entryPath.c_str()) != 0) {
      aDebug_Printf(0x1, "aDirectory_DeleteTree: unlink %s: %s\n", entryPath.c_str(), strerror(errno));
      break;
    }
  }
  closedir(dir);
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, unsigned int size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, unsigned int size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) return aErrRead;
  buffer[n] = '\0';
  // readlink cuts silently: a link that fills the buffer may have been cut.
  return static_cast<unsigned int>(n) == size - 1 ? aErrOverrun : aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, unsigned int size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  std::string home = sHomeFromPasswordDatabase();
  if (home.empty()) {
    const char* env = getenv("HOME");
    if (env != nullptr) home = env;
  }
  if (home.empty()) return aErrNotFound;
  return sCopyOut(buffer, size, home.c_str());
}

#include "FileReplacer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Longest part of the target's name kept in the temporary name, so that the temporary name
// stays within the file system's name limit.
const size_t kMaxNameStem = 200;

std::string sDirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A hidden name beside the target, so directory listings that skip dot-files never show it.
std::string sTemporaryPath(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  size_t nameStart = path.find_last_of('/') + 1;  // 0 when there is no directory part
  std::string name = path.substr(nameStart, kMaxNameStem);
  if (name.empty() || name[0] != '.') name.insert(0, ".");
  return path.substr(0, nameStart) + name + ".tmp" + std::to_string(getpid()) + "-" +
         std::to_string(counter++);
}

aErr sOpenError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return aErrPermission;
    case EBUSY:
      return aErrBusy;
    default:
      return aErrIO;
  }
}

bool sWriteAll(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int sCreateTemporary(const std::string& path, std::string* temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temporary = sTemporaryPath(path);
    int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Keeps the permission bits a user may have given the old file.
bool sKeepMode(int fd, const std::string& path) {
  struct stat old;
  if (stat(path.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return true;
  return fchmod(fd, old.st_mode & 07777) == 0;
}

// Makes the rename itself durable; file systems that cannot sync a directory are not an error.
void sSyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Symbolic links are followed, so the link stays and the file it names gets the new contents.
std::string sResolvedTarget(const std::string& path) {
  struct stat link;
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved = real;
  free(real);
  return resolved;
}

// Devices and pipes cannot be replaced by renaming a file over them; they are written in place.
bool sIsSpecialFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

FileReplaceResult sFail(FileReplaceResult result, int error, aErr code) {
  result.systemError = error;
  result.code = code;
  return result;
}

FileReplaceResult sWriteInPlace(const std::string& path, const void* data, size_t length) {
  FileReplaceResult result;
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return sFail(result, errno, sOpenError(errno));
  result.opened = true;
  bool written = sWriteAll(fd, static_cast<const unsigned char*>(data), length);
  int error = errno;
  close(fd);
  return written ? result : sFail(result, error, aErrIO);
}

FileReplaceResult sReplaceByRename(const std::string& path, const void* data, size_t length) {
  FileReplaceResult result;
  std::string temporary;
  int fd = sCreateTemporary(path, &temporary);
  if (fd < 0) return sFail(result, errno, sOpenError(errno));
  result.opened = true;
  bool written = sKeepMode(fd, path) && sWriteAll(fd, static_cast<const unsigned char*>(data), length) &&
                 fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    return sFail(result, error, aErrIO);
  }
  sSyncDirectory(sDirectoryOf(path));
  return result;
}

}  // namespace

FileReplaceResult ReplaceFileContents(const std::string& path, const void* data, size_t length) {
  std::string target = sResolvedTarget(path);
  if (sIsSpecialFile(target)) return sWriteInPlace(target, data, length);
  return sReplaceByRename(target, data, length);
}

std::string DescribeWriteFailure(const std::string& path, int systemError) {
  return path + " could not be written: " + (systemError != 0 ? std::strerror(systemError) : "unknown reason");
}

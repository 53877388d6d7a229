#include "PtyPort.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Sockets.h"

namespace devsim {

namespace {

bool PlaceLink(const std::string& link, const std::string& target, std::string* error) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    struct stat targetSt;
    if (!S_ISLNK(st.st_mode) || stat(link.c_str(), &targetSt) == 0) {
      *error = link + " already exists (another simulator running?)";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    *error = "cannot create the symlink " + link + ": " + ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace

PtyPort::~PtyPort() { close(); }

bool PtyPort::open(const std::string& link, std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || !ptsname(master_)) {
    *error = "cannot create a pseudo-terminal: " + ErrnoText(errno);
    close();
    return false;
  }
  slavePath_ = ptsname(master_);
  heldSlave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (heldSlave_ < 0) {
    *error = "cannot open " + slavePath_ + ": " + ErrnoText(errno);
    close();
    return false;
  }
  // Raw bytes both ways: no echo, no line editing, no character translation.
  termios tio;
  tcgetattr(heldSlave_, &tio);
  cfmakeraw(&tio);
  tcsetattr(heldSlave_, TCSANOW, &tio);
  SetNonBlocking(master_);
  if (!link.empty()) {
    if (!PlaceLink(link, slavePath_, error)) {
      close();
      return false;
    }
    link_ = link;
  }
  return true;
}

void PtyPort::close() {
  if (!link_.empty()) unlink(link_.c_str());
  link_.clear();
  CloseFd(master_);
  CloseFd(heldSlave_);
  slavePath_.clear();
}

}  // namespace devsim

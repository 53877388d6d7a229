#include "KernelDriverNode.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "UsbSimBus.h"

KernelDriverNode::KernelDriverNode(uint32_t serial) : path_("/dev/axonforge." + SerialText(serial)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    error_ = "posix_openpt failed";
    return;
  }
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error_ = "grantpt or unlockpt failed";
    return;
  }
  struct termios raw;
  tcgetattr(master_, &raw);
  cfmakeraw(&raw);
  tcsetattr(master_, TCSANOW, &raw);
  unlink(path_.c_str());
  linked_ = symlink(ptsname(master_), path_.c_str()) == 0;
  if (!linked_) error_ = "cannot link " + path_;
}

KernelDriverNode::~KernelDriverNode() {
  if (linked_) unlink(path_.c_str());
  if (master_ >= 0) close(master_);
}

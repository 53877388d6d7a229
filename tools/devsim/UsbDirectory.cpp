#include "UsbDirectory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ModuleSpec.h"
#include "Sockets.h"

namespace devsim {

UsbDirectory::~UsbDirectory() { clear(); }

bool UsbDirectory::claim(std::string* error) {
  if (lockFd_ >= 0) return true;
  std::string path = dir_ + "/devsim.lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + ErrnoText(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = (errno == EWOULDBLOCK ? "another simulator already serves the USB directory " + dir_
                                   : "cannot lock " + path + ": " + ErrnoText(errno));
    close(fd);
    return false;
  }
  lockFd_ = fd;
  return true;
}

std::string UsbDirectory::socketPath(uint32_t serial) const { return dir_ + "/" + SerialText(serial) + ".sock"; }

bool UsbDirectory::list(uint32_t serial, uint16_t vendor, uint16_t product, std::string* error) {
  devices_[serial] = {vendor, product};
  return rewrite(error);
}

bool UsbDirectory::unlist(uint32_t serial, std::string* error) {
  devices_.erase(serial);
  return rewrite(error);
}

void UsbDirectory::clear() {
  devices_.clear();
  if (lockFd_ < 0) return;
  unlink(devicesPath().c_str());
  CloseFd(lockFd_);
}

bool UsbDirectory::rewrite(std::string* error) const {
  std::string temporary = devicesPath() + ".tmp." + std::to_string(getpid());
  FILE* f = std::fopen(temporary.c_str(), "w");
  if (!f) {
    *error = "cannot write " + temporary + ": " + ErrnoText(errno);
    return false;
  }
  std::fprintf(f, "# serial idVendor idProduct socket\n");
  for (const auto& [serial, entry] : devices_) {
    std::fprintf(f, "%08X %04x %04x %s\n", serial, entry.vendor, entry.product, socketPath(serial).c_str());
  }
  bool written = std::fflush(f) == 0;
  written = (std::fclose(f) == 0) && written;
  if (!written || std::rename(temporary.c_str(), devicesPath().c_str()) != 0) {
    *error = "cannot replace " + devicesPath() + ": " + ErrnoText(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace devsim

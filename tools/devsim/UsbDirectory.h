#ifndef DEVSIM_USBDIRECTORY_H
#define DEVSIM_USBDIRECTORY_H

#include <cstdint>
#include <map>
#include <string>

namespace devsim {

// The directory through which simulated USB devices are presented: one Unix socket per plugged-in
// device and the "devices" file listing them ("<SERIAL> <vendor> <product> <socket path>"),
// rewritten atomically whenever a device appears or disappears. One simulator owns a directory
// at a time: a lock on DIR/devsim.lock keeps a second one from rewriting the first one's list.
class UsbDirectory {
 public:
  explicit UsbDirectory(std::string dir) : dir_(std::move(dir)) {}
  ~UsbDirectory();
  UsbDirectory(const UsbDirectory&) = delete;
  UsbDirectory& operator=(const UsbDirectory&) = delete;

  bool enabled() const { return !dir_.empty(); }
  std::string socketPath(uint32_t serial) const;
  std::string devicesPath() const { return dir_ + "/devices"; }

  // Takes the directory for this simulator; false (with a message) when another one holds it.
  bool claim(std::string* error);
  // Both rewrite the devices file; false (with a message) when it cannot be written.
  bool list(uint32_t serial, uint16_t vendor, uint16_t product, std::string* error);
  bool unlist(uint32_t serial, std::string* error);
  // At shutdown: removes the devices file (only when this simulator owns the directory) and
  // gives the directory up.
  void clear();

 private:
  struct Entry {
    uint16_t vendor;
    uint16_t product;
  };
  bool rewrite(std::string* error) const;

  std::string dir_;
  int lockFd_ = -1;
  std::map<uint32_t, Entry> devices_;
};

}  // namespace devsim

#endif

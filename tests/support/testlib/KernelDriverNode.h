#ifndef TESTLIB_KERNELDRIVERNODE_H
#define TESTLIB_KERNELDRIVERNODE_H

#include <stdint.h>

#include <string>

// The kernel driver's node of one device, "/dev/axonforge.%08X", played by a raw pseudo-terminal
// for the life of the object: the host's bytes arrive on master(), bytes written there reach the
// host. Creating the node needs root.
class KernelDriverNode {
 public:
  explicit KernelDriverNode(uint32_t serial);
  ~KernelDriverNode();
  KernelDriverNode(const KernelDriverNode&) = delete;
  KernelDriverNode& operator=(const KernelDriverNode&) = delete;

  // Empty when the node is in place; otherwise the step that failed.
  const std::string& error() const { return error_; }
  int master() const { return master_; }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  std::string path_;
  std::string error_;
  bool linked_ = false;
};

#endif

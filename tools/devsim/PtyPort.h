#ifndef DEVSIM_PTYPORT_H
#define DEVSIM_PTYPORT_H

#include <string>

namespace devsim {

// A pseudo-terminal standing in for a serial port or a kernel-driver node: the simulator keeps
// the master side, the host opens the slave path (or the symlink made to it). The simulator
// also holds the slave open itself so that a host closing and reopening it never hangs up the
// master.
class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  // `link` may be empty; an existing symlink whose target is gone is replaced, anything else
  // at that path is refused.
  bool open(const std::string& link, std::string* error);
  void close();
  bool isOpen() const { return master_ >= 0; }
  int masterFd() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  const std::string& linkPath() const { return link_; }

 private:
  int master_ = -1;
  int heldSlave_ = -1;
  std::string slavePath_;
  std::string link_;
};

}  // namespace devsim

#endif

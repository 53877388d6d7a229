#ifndef TESTLIB_FDCAPTURE_H
#define TESTLIB_FDCAPTURE_H

#include <string>

// Points a file descriptor of this process (1 or 2) at a temporary file or at a pseudo-terminal
// while the object lives, so tests can see exactly what code writes there and whether it believes
// it writes to a terminal. Flushes stdio first; stdio buffering of the caller is its own business.
class FdCapture {
 public:
  enum Target { ToFile, ToTerminal };
  FdCapture(int fd, Target target);
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  // Restores the descriptor and returns every byte written meanwhile. Call once.
  std::string Finish();

 private:
  void Restore();
  std::string DrainTerminal();

  int fd_;
  int saved_ = -1;
  int sink_ = -1;    // the temporary file, or the terminal's master side
  int slave_ = -1;   // the terminal's slave side
  bool finished_ = false;
};

#endif

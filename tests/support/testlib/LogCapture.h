#ifndef TESTLIB_LOGCAPTURE_H
#define TESTLIB_LOGCAPTURE_H

#include <cstdint>
#include <cstdio>
#include <string>

// Sends the application log to a temporary file and enables the given packages while the
// object lives; the packages that were off before are switched off again at the end.
class LogCapture {
 public:
  explicit LogCapture(uint32_t packages);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string Text() const;

 private:
  FILE* file_;
  uint32_t addedPackages_;
};

#endif

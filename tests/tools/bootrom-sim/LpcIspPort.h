#ifndef TESTS_BOOTROMSIM_LPCISPPORT_H
#define TESTS_BOOTROMSIM_LPCISPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

// The host end of the simulator's serial line, spoken to byte for byte as the tests need.
class LpcIspPort {
 public:
  explicit LpcIspPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ < 0) return;
    termios tio;
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~LpcIspPort() {
    if (fd_ >= 0) close(fd_);
  }
  bool isOpen() const { return fd_ >= 0; }

  // Sends text and collects what comes back until it ends with `until` (or 5 s pass).
  std::string Exchange(const std::string& text, const std::string& until = "\r\n") {
    if (!text.empty() && write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < until.size() || got.compare(got.size() - until.size(), until.size(), until) != 0) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
      pollfd entry{fd_, POLLIN, 0};
      if (left <= 0 || poll(&entry, 1, left) <= 0) break;
      char c;
      if (read(fd_, &c, 1) != 1) break;
      got.push_back(c);
    }
    return got;
  }
  // Sends text (may be empty); true when nothing arrives within ms.
  bool Quiet(int ms, const std::string& text = "") {
    if (!text.empty() && write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, ms) == 0;
  }

 private:
  int fd_;
};

#endif

#include "PacedPty.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace lpcsim {

namespace {

const int kBitsPerByte = 10;  // start bit, eight data bits, stop bit

}  // namespace

bool PacedPty::open(const std::string& link, uint32_t lineRate, std::string* error) {
  if (!pty_.open(link, error)) return false;
  if (lineRate > 0) {
    byteTime_ = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(1000000000LL * kBitsPerByte / lineRate));
  }
  return true;
}

size_t PacedPty::receive(uint8_t* buffer, size_t capacity, int timeoutMs) {
  pollfd entry{pty_.masterFd(), POLLIN, 0};
  if (poll(&entry, 1, timeoutMs) <= 0) return 0;
  const ssize_t n = read(pty_.masterFd(), buffer, capacity);
  if (n <= 0) return 0;
  receivedAt_ = Clock::now();
  return static_cast<size_t>(n);
}

void PacedPty::awaitArrival(size_t index) {
  if (byteTime_ == Clock::duration::zero()) return;
  // Bytes the host wrote at once still come one byte time after another.
  Clock::time_point arrival = lastArrival_ + byteTime_;
  if (index == 0 && arrival < receivedAt_) arrival = receivedAt_;
  lastArrival_ = arrival;
  std::this_thread::sleep_until(arrival);
}

bool PacedPty::send(const std::string& bytes) {
  if (byteTime_ != Clock::duration::zero()) {
    const Clock::time_point start = sendFree_ > Clock::now() ? sendFree_ : Clock::now();
    sendFree_ = start + byteTime_ * static_cast<int64_t>(bytes.size());
    std::this_thread::sleep_until(sendFree_);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(pty_.masterFd(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd entry{pty_.masterFd(), POLLOUT, 0};
      poll(&entry, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace lpcsim

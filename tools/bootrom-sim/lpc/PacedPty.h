#ifndef BOOTROMSIM_PACEDPTY_H
#define BOOTROMSIM_PACEDPTY_H

#include <chrono>
#include <cstdint>
#include <string>

#include "PtyPort.h"

namespace lpcsim {

// The chip's serial port: the device simulator's pseudo-terminal (the host opens the slave or a
// symlink to it, and may close and reopen it). With a line rate set, bytes go both ways
// no faster than a UART at that rate would carry them (ten bits a byte), so timings measured
// against the simulator are those of a real serial line.
class PacedPty {
 public:
  using Clock = std::chrono::steady_clock;

  // link may be empty; a dangling symlink there is replaced, anything else refused.
  bool open(const std::string& link, uint32_t lineRate, std::string* error);
  const std::string& slavePath() const { return pty_.slavePath(); }

  // Waits up to timeoutMs for host bytes; returns how many were read into buffer (0: none).
  size_t receive(uint8_t* buffer, size_t capacity, int timeoutMs);
  // Waits until the index-th byte of the last receive() would have arrived on the line.
  void awaitArrival(size_t index);
  // Sends bytes to the host, taking their time on the line.
  bool send(const std::string& bytes);

 private:
  devsim::PtyPort pty_;
  Clock::duration byteTime_{0};
  Clock::time_point receivedAt_{};   // first byte of the last receive()
  Clock::time_point lastArrival_{};  // when the previous received byte ended on the line
  Clock::time_point sendFree_{};     // when the transmitter is free again
};

}  // namespace lpcsim

#endif

#include "SdpSerialPort.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace bootrom::imx {

namespace {

constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
constexpr int kWriteWaitMs = 1000;
constexpr auto kSettleTime = std::chrono::milliseconds(50);
// A host writes each command at once; a part of one older than this is no command.
constexpr auto kCommandGap = std::chrono::milliseconds(50);

}  // namespace

bool SdpSerialPort::open(const std::string& link, bool shortAnswers, std::string* error) {
  shortAnswers_ = shortAnswers;
  return pty_.open(link, error);
}

void SdpSerialPort::close() {
  if (!pty_.isOpen()) return;
  // What the host has not read yet waits in the slave's input queue, shared by every opening of
  // the slave; bytes just written may take a moment to get there, so the queue has to stay empty
  // for a while before the line goes.
  const int probe = ::open(pty_.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const auto start = std::chrono::steady_clock::now();
  auto emptySince = start;
  int unread = 0;
  while (probe >= 0 && ioctl(probe, FIONREAD, &unread) == 0) {
    const auto now = std::chrono::steady_clock::now();
    if (unread > 0) emptySince = now;
    if (now - emptySince >= kSettleTime || now - start >= std::chrono::milliseconds(kWriteWaitMs)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (probe >= 0) ::close(probe);
  pty_.close();
}

void SdpSerialPort::send(const uint8_t* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd(), bytes, length);
    if (n > 0) {
      bytes += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    pollfd p{fd(), POLLOUT, 0};
    if (poll(&p, 1, kWriteWaitMs) <= 0) return;  // nobody reads the line: the answer is lost
  }
}

void SdpSerialPort::readable(SdpRom& rom) {
  uint8_t buffer[4096];
  ssize_t n = read(fd(), buffer, sizeof buffer);
  if (n <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (!rom.inDataPhase() && now - lastArrival_ > kCommandGap) pending_.clear();
  lastArrival_ = now;
  pending_.insert(pending_.end(), buffer, buffer + n);
  size_t used = 0;
  while (used < pending_.size() && !rom.jumped()) {
    const uint8_t* at = pending_.data() + used;
    const size_t left = pending_.size() - used;
    std::vector<SdpAnswer> answers;
    if (rom.inDataPhase()) {
      used += rom.data(at, left, answers);
    } else if (left >= sizeof kAssociation && std::memcmp(at, kAssociation, sizeof kAssociation) == 0) {
      used += sizeof kAssociation;
      send(kAssociation, sizeof kAssociation);
    } else if (left >= kCommandSize) {
      rom.command(at, answers);
      used += kCommandSize;
    } else {
      break;
    }
    for (const SdpAnswer& a : answers) {
      std::vector<uint8_t> bytes;
      for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(a.habMode >> shift));
      if (!shortAnswers_) bytes.insert(bytes.end(), a.payload.begin(), a.payload.end());
      send(bytes.data(), bytes.size());
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

}  // namespace bootrom::imx

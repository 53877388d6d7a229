#include "SdpHidPort.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ReplaceFile.h"

namespace bootrom::imx {

namespace {

constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kHabModeReport = 3;
constexpr uint8_t kAnswerReport = 4;
constexpr size_t kAnswerReportData = 64;
constexpr size_t kLargestHostReport = 1025;  // report number and 1024 data bytes
constexpr uint8_t kInputReport = 'R';
constexpr uint8_t kTaken = 'A';

std::string Listing(const std::string& directory) { return directory + "/devices"; }

}  // namespace

SdpHidPort::~SdpHidPort() { close(); }

bool SdpHidPort::open(const std::string& directory, bool shortAnswers, std::string* error) {
  directory_ = directory;
  shortAnswers_ = shortAnswers;
  char name[32];
  std::snprintf(name, sizeof name, "/%04X%04X.sock", kSdpVendor, kSdpProduct);
  socketPath_ = directory + name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof address.sun_path) {
    *error = "the HID socket path " + socketPath_ + " is too long";
    return false;
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  unlink(socketPath_.c_str());
  listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 4) != 0) {
    *error = "cannot listen on " + socketPath_ + ": " + std::strerror(errno);
    close();
    return false;
  }
  char line[64];
  std::snprintf(line, sizeof line, "%04X %04X ", kSdpVendor, kSdpProduct);
  if (!ReplaceFile(Listing(directory_), line + socketPath_ + "\n")) {
    *error = "cannot write " + Listing(directory_);
    close();
    return false;
  }
  return true;
}

void SdpHidPort::close() {
  if (listener_ >= 0) {
    ReplaceFile(Listing(directory_), "");
    unlink(socketPath_.c_str());
    ::close(listener_);
  }
  if (host_ >= 0) ::close(host_);
  listener_ = host_ = -1;
}

void SdpHidPort::acceptHost() {
  int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (host_ >= 0) ::close(host_);
  host_ = fd;
}

void SdpHidPort::sendAnswer(const SdpAnswer& answer) {
  uint8_t hab[6] = {kInputReport, kHabModeReport};
  for (int i = 0; i < 4; ++i) hab[2 + i] = static_cast<uint8_t>(answer.habMode >> (8 * i));
  send(host_, hab, sizeof hab, MSG_NOSIGNAL);
  for (size_t at = 0; at < answer.payload.size(); at += kAnswerReportData) {
    const size_t length = std::min(kAnswerReportData, answer.payload.size() - at);
    std::vector<uint8_t> report(2 + (shortAnswers_ ? length : kAnswerReportData), 0);
    report[0] = kInputReport;
    report[1] = kAnswerReport;
    std::memcpy(report.data() + 2, answer.payload.data() + at, length);
    send(host_, report.data(), report.size(), MSG_NOSIGNAL);
  }
}

void SdpHidPort::readable(SdpRom& rom) {
  uint8_t report[kLargestHostReport + 1];
  ssize_t n = recv(host_, report, sizeof report, 0);
  if (n <= 0) {
    ::close(host_);
    host_ = -1;
    return;
  }
  std::vector<SdpAnswer> answers;
  if (report[0] == kCommandReport && !rom.jumped()) {
    uint8_t command[kCommandSize] = {};
    std::memcpy(command, report + 1, std::min(kCommandSize, static_cast<size_t>(n - 1)));
    rom.command(command, answers);
  } else if (report[0] == kDataReport && rom.inDataPhase()) {
    rom.data(report + 1, static_cast<size_t>(n - 1), answers);
  }
  for (const SdpAnswer& a : answers) sendAnswer(a);
  send(host_, &kTaken, 1, MSG_NOSIGNAL);
}

}  // namespace bootrom::imx

#include "Serial_SDPLoader.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "SDPResponseWord.h"

namespace {

constexpr size_t kHabModeWordSize = 4;
constexpr auto kSettleTime = std::chrono::seconds(1);
constexpr auto kWriteRetryPause = std::chrono::milliseconds(1);

}  // namespace

struct PrivateSerial_SDPLoader {
  int fd = -1;
  std::string path;
  struct termios settings;
};

Serial_SDPLoader::Serial_SDPLoader(const std::string& path) : priv(new PrivateSerial_SDPLoader) {
  priv->path = path;
  std::memset(&priv->settings, 0, sizeof priv->settings);
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (priv->fd < 0) return;
  tcflush(priv->fd, TCIOFLUSH);
  close(priv->fd);
}

bool Serial_SDPLoader::init() {
  if (priv->fd >= 0) return true;
  int fd = open(priv->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  if (!isatty(fd)) {
    close(fd);
    return false;
  }
  struct termios& settings = priv->settings;
  std::memset(&settings, 0, sizeof settings);
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  tcsetattr(fd, TCSAFLUSH, &settings);
  std::this_thread::sleep_for(kSettleTime);
  tcflush(fd, TCIOFLUSH);
  priv->fd = fd;
  return true;
}

int Serial_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (priv->fd < 0) return -1;
  if (bytes.size() < 2) return 0;
  const uint8_t* data = bytes.data() + 1;
  const size_t size = bytes.size() - 1;
  size_t done = 0;
  int stalledMs = 0;
  while (done < size && stalledMs < WRITE_STALL_LIMIT_MS) {
    ssize_t n = write(priv->fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      stalledMs = 0;
    } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      std::this_thread::sleep_for(kWriteRetryPause);
      ++stalledMs;
    } else {
      break;  // the port is gone; retrying cannot help
    }
  }
  return static_cast<int>(done);
}

int Serial_SDPLoader::readData(std::vector<uint8_t>& bytes, int timeoutMs) {
  if (priv->fd < 0) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
  int count = 0;
  uint8_t byte;
  while (bytes.size() < SDP_ANSWER_LIMIT && read(priv->fd, &byte, 1) == 1) {
    bytes.push_back(byte);
    ++count;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) {
  if (offset > SDP_MAX_WORD_OFFSET || bytes.size() < (offset + 2) * 4) return false;
  return OrResponseWord(bytes, kHabModeWordSize, offset, value);
}

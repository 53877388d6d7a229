#include "UsbSimBus.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string SerialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string UsbSimLibraryPath() { return PROJECT_BINARY_DIR "/tests/support/usbsim/libusbsim.so"; }

UsbSimDevice::UsbSimDevice(const std::string& socketPath, bool echo) : path_(socketPath), echo_(echo) {
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  unlink(path_.c_str());
  if (listener_ < 0 || bind(listener_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 4) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot serve simulated USB device at " + path_);
  thread_ = std::thread(&UsbSimDevice::serve, this);
}

UsbSimDevice::~UsbSimDevice() {
  char stop = 'q';
  ssize_t ignored = write(wake_[1], &stop, 1);
  (void)ignored;
  thread_.join();
  if (connection_ >= 0) close(connection_);
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
  unlink(path_.c_str());
}

void UsbSimDevice::serve() {
  for (;;) {
    int connection;
    {
      std::lock_guard<std::mutex> guard(lock_);
      connection = connection_;
    }
    struct pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {connection, POLLIN, 0}};
    if (poll(fds, connection >= 0 ? 3 : 2, -1) < 0) continue;
    if (fds[0].revents) return;
    if (fds[1].revents & POLLIN) {
      int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard<std::mutex> guard(lock_);
      if (connection_ >= 0) close(connection_);  // a new claim replaces a stale connection
      connection_ = accepted;
      changed_.notify_all();
      continue;
    }
    if (connection >= 0 && fds[2].revents && !onReadable(connection)) {
      std::lock_guard<std::mutex> guard(lock_);
      if (connection_ == connection) {
        close(connection_);
        connection_ = -1;
      }
      changed_.notify_all();
    }
  }
}

bool UsbSimDevice::onReadable(int fd) {
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  received_.append(buffer, static_cast<size_t>(n));
  if (echo_) {
    ssize_t ignored = ::send(fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
    (void)ignored;
  }
  changed_.notify_all();
  return true;
}

std::string UsbSimDevice::waitReceived(size_t n, int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
  return received_;
}

std::string UsbSimDevice::received() {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

bool UsbSimDevice::waitConnected(bool connected, int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                           [&] { return (connection_ >= 0) == connected; });
}

bool UsbSimDevice::send(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  if (connection_ < 0) return false;
  return ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void UsbSimDevice::dropConnection() {
  std::lock_guard<std::mutex> guard(lock_);
  if (connection_ >= 0) shutdown(connection_, SHUT_RDWR);
}

UsbSimBus::UsbSimBus() {
  char pattern[] = "/tmp/usbsim.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("cannot create a simulated USB directory");
  dir_ = pattern;
  if (const char* previous = getenv("AXONFORGE_USBSIM_DIR")) {
    hadEnv_ = true;
    previousEnv_ = previous;
  }
  writeDevices();
  setenv("AXONFORGE_USBSIM_DIR", dir_.c_str(), 1);
}

UsbSimBus::~UsbSimBus() {
  if (hadEnv_)
    setenv("AXONFORGE_USBSIM_DIR", previousEnv_.c_str(), 1);
  else
    unsetenv("AXONFORGE_USBSIM_DIR");
  devices_.clear();
  if (DIR* d = opendir(dir_.c_str())) {
    while (struct dirent* entry = readdir(d))
      if (entry->d_name[0] != '.') unlink((dir_ + "/" + entry->d_name).c_str());
    closedir(d);
  }
  rmdir(dir_.c_str());
}

UsbSimDevice& UsbSimBus::plug(uint32_t serial, uint16_t product, uint16_t vendor, bool echo) {
  const std::string text = SerialText(serial);
  const std::string path = dir_ + "/" + text + ".sock";
  auto device = std::make_unique<UsbSimDevice>(path, echo);
  UsbSimDevice& result = *device;
  devices_[text] = std::move(device);
  lines_.push_back({text, vendor, product, path});
  writeDevices();
  return result;
}

void UsbSimBus::list(const std::string& serialText, uint16_t vendor, uint16_t product) {
  lines_.push_back({serialText, vendor, product, dir_ + "/" + serialText + ".sock"});
  writeDevices();
}

void UsbSimBus::unplug(uint32_t serial) {
  const std::string text = SerialText(serial);
  for (auto it = lines_.begin(); it != lines_.end();)
    it = it->serial == text ? lines_.erase(it) : it + 1;
  writeDevices();
  devices_.erase(text);
}

void UsbSimBus::writeDevices() {
  const std::string temporary = dir_ + "/devices.tmp";
  {
    std::ofstream out(temporary);
    out << "# serial vendor product socket\n";
    for (const Line& l : lines_) {
      char line[512];
      snprintf(line, sizeof line, "%s %04x %04x %s\n", l.serial.c_str(), l.vendor, l.product, l.socketPath.c_str());
      out << line;
    }
  }
  rename(temporary.c_str(), (dir_ + "/devices").c_str());
}

void UsbSimBus::setFaults(const std::string& rules) {
  const std::string temporary = dir_ + "/faults.tmp";
  {
    std::ofstream out(temporary);
    out << rules;
  }
  rename(temporary.c_str(), (dir_ + "/faults").c_str());
}

void UsbSimBus::enableTrace() { std::ofstream(dir_ + "/trace", std::ios::trunc); }

std::vector<std::string> UsbSimBus::trace() const {
  std::ifstream in(dir_ + "/trace");
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> UsbSimBus::childEnvironment() const { return UsbSimChildEnvironment(dir_); }

std::string PreloadSanitizerOptions() {
  // A preloaded library ahead of the sanitizer runtime is fine here; tell ASan not to refuse it.
  const char* asan = getenv("ASAN_OPTIONS");
  std::string asanOptions = asan && *asan ? std::string(asan) + ":" : "";
  return "ASAN_OPTIONS=" + asanOptions + "verify_asan_link_order=0";
}

std::vector<std::string> UsbSimChildEnvironment(const std::string& dir) {
  return {"LD_PRELOAD=" + UsbSimLibraryPath(), "AXONFORGE_USBSIM_DIR=" + dir, PreloadSanitizerOptions()};
}

#ifndef TESTS_SUPPORT_USBSIMBUS_H
#define TESTS_SUPPORT_USBSIMBUS_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One simulated USB device as the libusb stand-in sees it: a Unix-domain socket whose peer is
// this object. Bytes the host sends on bulk OUT arrive in received(); send() delivers bytes to
// the host's bulk IN endpoint. With echo on, everything received is sent straight back.
class UsbSimDevice {
 public:
  UsbSimDevice(const std::string& socketPath, bool echo);
  ~UsbSimDevice();
  UsbSimDevice(const UsbSimDevice&) = delete;
  UsbSimDevice& operator=(const UsbSimDevice&) = delete;

  // Waits up to timeoutMs until at least n bytes have arrived; returns all arrived so far.
  std::string waitReceived(size_t n, int timeoutMs = 2000);
  std::string received();
  // True once the host has connected (claimed the interface), false again when it let go.
  bool waitConnected(bool connected, int timeoutMs = 2000);
  bool send(const std::string& bytes);
  // Drops the host's connection, as a device that resets does; the device stays listed.
  void dropConnection();

 private:
  void serve();
  bool onReadable(int fd);

  std::string path_;
  bool echo_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::mutex lock_;
  std::condition_variable changed_;
  int connection_ = -1;
  std::string received_;
  std::thread thread_;
};

// A directory presented to the libusb stand-in (AXONFORGE_USBSIM_DIR is pointed at it for the
// object's lifetime): the devices file, device sockets, fault rules and the transfer trace.
class UsbSimBus {
 public:
  UsbSimBus();
  ~UsbSimBus();
  UsbSimBus(const UsbSimBus&) = delete;
  UsbSimBus& operator=(const UsbSimBus&) = delete;

  const std::string& dir() const { return dir_; }
  // Plugs in a device with serial string "%08X" served by a UsbSimDevice.
  UsbSimDevice& plug(uint32_t serial, uint16_t product = 17, uint16_t vendor = 0x24ff, bool echo = false);
  // Lists a device with any serial string and no peer (for enumeration of odd devices).
  void list(const std::string& serialText, uint16_t vendor, uint16_t product);
  void unplug(uint32_t serial);
  void setFaults(const std::string& rules);
  void enableTrace();
  // Trace lines written by the stand-in since enableTrace().
  std::vector<std::string> trace() const;
  // Environment entries ("NAME=value") that make a child program linked against the real
  // libusb (the updater, say) see this bus: the stand-in preloaded and the directory.
  std::vector<std::string> childEnvironment() const;

 private:
  struct Line {
    std::string serial;
    uint16_t vendor;
    uint16_t product;
    std::string socketPath;
  };
  void writeDevices();

  std::string dir_;
  std::string previousEnv_;
  bool hadEnv_ = false;
  std::vector<Line> lines_;
  std::map<std::string, std::unique_ptr<UsbSimDevice>> devices_;
};

std::string SerialText(uint32_t serial);
// Environment entries that make a child program see the simulated devices of directory dir
// (a UsbSimBus's, or a device simulator's --usb-dir).
std::vector<std::string> UsbSimChildEnvironment(const std::string& dir);
// The "ASAN_OPTIONS=..." entry a child needs when a stand-in library is preloaded into it.
std::string PreloadSanitizerOptions();
// Path of the built stand-in library.
std::string UsbSimLibraryPath();

#endif

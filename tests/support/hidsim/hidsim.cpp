// libhidsim: a stand-in for hidapi (hidraw) that presents simulated HID devices to tests.
//
// Tests link it ahead of the real hidapi (every test executable does) or preload it into an
// unmodified program (LD_PRELOAD=.../libhidsim.so). It exports the hidapi functions; nothing here
// ever touches a real HID device.
//
// Where the devices come from
//   AXONFORGE_HIDSIM_DIR=DIR   unset: no devices at all.
//   DIR/devices                one device per line, '#' starts a comment line:
//                                <idVendor hex> <idProduct hex> <socket path> [<serial number>]
//                              re-read on every enumeration and open, so devices come and go
//                              while a program runs (the boot-ROM simulator writes it).
//   <socket path>              Unix-domain sequenced-packet socket of the device. Opening the
//                              device connects to it; each hid_write is one packet (report
//                              number first, as hidapi takes it). Each packet the peer sends
//                              starts with a kind byte:
//                                'R' <report>  an input report for hid_read
//                                'A'           the last output report was taken
//                              hid_write returns once the device has taken the report (as a USB
//                              transfer completes only when the device accepted it), -1 when it
//                              does not within 5 s; reports that arrive meanwhile wait for
//                              hid_read. A closed connection reads as an unplugged device (-1).
// The device path of hid_enumerate and hid_open_path is the socket path.
#include <hidapi.h>

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct hid_device_ {
  int fd = -1;
  bool nonBlocking = false;
  hid_device_info* info = nullptr;
  std::deque<std::vector<unsigned char>> reports;  // input reports taken while a write waited
};

namespace {

constexpr unsigned char kInputReport = 'R';
constexpr unsigned char kTaken = 'A';
constexpr int kWriteTimeoutMs = 5000;
constexpr size_t kLargestPacket = 1 + 4096;

// Waits up to milliseconds (-1: for ever) for one packet of the device; 0 on time-out, -1 when
// the device is gone, else the packet's length.
int receivePacket(hid_device* dev, std::vector<unsigned char>& packet, int milliseconds) {
  pollfd p{dev->fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, milliseconds);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return ready;
  packet.resize(kLargestPacket);
  ssize_t n = recv(dev->fd, packet.data(), packet.size(), 0);
  if (n <= 0) return -1;
  packet.resize(static_cast<size_t>(n));
  return static_cast<int>(n);
}

struct DeviceLine {
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::string socketPath;
  std::wstring serial;
};

std::vector<DeviceLine> readDevices() {
  std::vector<DeviceLine> devices;
  const char* dir = getenv("AXONFORGE_HIDSIM_DIR");
  if (dir == nullptr || *dir == '\0') return devices;
  std::ifstream in(std::string(dir) + "/devices");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string vendor, product, serial;
    DeviceLine d;
    if (!(fields >> vendor >> product >> d.socketPath)) continue;
    fields >> serial;
    d.vendor = static_cast<uint16_t>(strtoul(vendor.c_str(), nullptr, 16));
    d.product = static_cast<uint16_t>(strtoul(product.c_str(), nullptr, 16));
    d.serial.assign(serial.begin(), serial.end());
    devices.push_back(d);
  }
  return devices;
}

wchar_t* copyText(const std::wstring& text) {
  wchar_t* copy = static_cast<wchar_t*>(calloc(text.size() + 1, sizeof(wchar_t)));
  if (copy != nullptr) wmemcpy(copy, text.c_str(), text.size());
  return copy;
}

hid_device_info* makeInfo(const DeviceLine& d) {
  hid_device_info* info = static_cast<hid_device_info*>(calloc(1, sizeof(hid_device_info)));
  if (info == nullptr) return nullptr;
  info->path = strdup(d.socketPath.c_str());
  info->vendor_id = d.vendor;
  info->product_id = d.product;
  info->serial_number = copyText(d.serial);
  info->manufacturer_string = copyText(L"hidsim");
  info->product_string = copyText(L"simulated HID device");
  info->interface_number = 0;
  info->bus_type = HID_API_BUS_USB;
  return info;
}

int copyString(const wchar_t* from, wchar_t* to, size_t maxlen) {
  if (from == nullptr || to == nullptr || maxlen == 0) return -1;
  wcsncpy(to, from, maxlen);
  to[maxlen - 1] = L'\0';
  return 0;
}

hid_device* connectTo(const DeviceLine& d) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (d.socketPath.size() >= sizeof address.sun_path) return nullptr;
  std::memcpy(address.sun_path, d.socketPath.c_str(), d.socketPath.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return nullptr;
  }
  hid_device* dev = new hid_device_;
  dev->fd = fd;
  dev->info = makeInfo(d);
  return dev;
}

}  // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) { return 0; }
int HID_API_EXPORT HID_API_CALL hid_exit(void) { return 0; }

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  hid_device_info* first = nullptr;
  hid_device_info** tail = &first;
  for (const DeviceLine& d : readDevices()) {
    if ((vendor_id != 0 && d.vendor != vendor_id) || (product_id != 0 && d.product != product_id)) continue;
    *tail = makeInfo(d);
    if (*tail != nullptr) tail = &(*tail)->next;
  }
  return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    free(devs->path);
    free(devs->serial_number);
    free(devs->manufacturer_string);
    free(devs->product_string);
    free(devs);
    devs = next;
  }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                  const wchar_t* serial_number) {
  for (const DeviceLine& d : readDevices()) {
    if (d.vendor != vendor_id || d.product != product_id) continue;
    if (serial_number != nullptr && d.serial != serial_number) continue;
    return connectTo(d);
  }
  return nullptr;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
  for (const DeviceLine& d : readDevices())
    if (path != nullptr && d.socketPath == path) return connectTo(d);
  return nullptr;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  if (dev == nullptr || data == nullptr || length == 0) return -1;
  ssize_t n = send(dev->fd, data, length, MSG_NOSIGNAL);
  if (n < 0) return -1;
  std::vector<unsigned char> packet;
  while (receivePacket(dev, packet, kWriteTimeoutMs) > 0) {
    if (packet[0] == kTaken) return static_cast<int>(n);
    if (packet[0] == kInputReport) dev->reports.emplace_back(packet.begin() + 1, packet.end());
  }
  return -1;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
  if (dev == nullptr || data == nullptr) return -1;
  std::vector<unsigned char> report;
  if (!dev->reports.empty()) {
    report = std::move(dev->reports.front());
    dev->reports.pop_front();
  } else {
    std::vector<unsigned char> packet;
    // Acknowledgements of earlier writes carry no report: skip them.
    do {
      int got = receivePacket(dev, packet, milliseconds < 0 ? -1 : milliseconds);
      if (got <= 0) return got;
    } while (packet[0] != kInputReport);
    report.assign(packet.begin() + 1, packet.end());
  }
  // A report longer than the caller's buffer is cut to it, as hidraw does.
  const size_t n = report.size() < length ? report.size() : length;
  std::memcpy(data, report.data(), n);
  return static_cast<int>(n);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
  return hid_read_timeout(dev, data, length, dev != nullptr && dev->nonBlocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (dev == nullptr) return -1;
  dev->nonBlocking = nonblock != 0;
  return 0;
}

// Feature and input reports by request are not part of the simulated devices.
int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device*, const unsigned char*, size_t) { return -1; }
int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device*, unsigned char*, size_t) { return -1; }
int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device*, unsigned char*, size_t) { return -1; }

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
  if (dev == nullptr) return;
  close(dev->fd);
  hid_free_enumeration(dev->info);
  delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return dev == nullptr || dev->info == nullptr ? -1 : copyString(dev->info->manufacturer_string, string, maxlen);
}
int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return dev == nullptr || dev->info == nullptr ? -1 : copyString(dev->info->product_string, string, maxlen);
}
int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return dev == nullptr || dev->info == nullptr ? -1 : copyString(dev->info->serial_number, string, maxlen);
}
int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device*, int, wchar_t*, size_t) { return -1; }

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev) {
  return dev == nullptr ? nullptr : dev->info;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device*) { return L"simulated device failure"; }

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
  static const hid_api_version version = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
  return &version;
}
HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) { return HID_API_VERSION_STR; }

}  // extern "C"

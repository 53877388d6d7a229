// libusbsim: a stand-in for libusb-1.0 that presents simulated family devices to tests.
//
// Tests either link against this library ahead of the real libusb (every test executable does)
// or preload it into an unmodified program (LD_PRELOAD=.../libusbsim.so). It exports the libusb
// functions the project calls; nothing here ever touches real USB hardware.
//
// Where the devices come from
//   AXONFORGE_USBSIM_DIR=DIR   unset: no devices at all.
//   DIR/devices                one device per line, '#' starts a comment line:
//                                <SERIAL> <idVendor hex> <idProduct hex> <socket path>
//                              re-read on every enumeration and open, so devices appear and
//                              disappear while a program runs. SERIAL is the serial-number
//                              string descriptor exactly as written (normally "%08X").
//   <socket path>              Unix-domain stream socket of the device. Claiming the vendor
//                              interface connects to it; bulk OUT bytes are written to it and
//                              bulk IN delivers what the peer writes. A closed connection reads
//                              as an unplugged device (LIBUSB_ERROR_NO_DEVICE).
//   DIR/<SERIAL>.lock          flock(LOCK_EX|LOCK_NB) taken at claim, released at release/close,
//                              so a second claimer (any process) gets LIBUSB_ERROR_BUSY.
//
// Every device has configuration 0 with two interfaces: 0 is a decoy vendor interface
// (0xFF/0x00/0x00, one interrupt IN endpoint 0x83), 1 is the data interface 0xFF/0x88/0x10 with
// bulk IN 0x81 and bulk OUT 0x02 (wMaxPacketSize 512 unless overridden).
//
// Fault injection: DIR/faults, re-read whenever it is rewritten (counters restart then; they
// are per process). One rule per line, '#' starts a comment line:
//   <SERIAL|*> <operation> <result> [<count>|always]     default count 1
//       operation: open, claim, in, out, clearhalt
//       result:    busy, access, nodev, io, pipe (stall), timeout, other
//     The next <count> matching operations fail with that libusb error instead of running; an
//     injected timeout waits for the transfer's time-out first, as a real one does.
//   <SERIAL|*> maxpacket <n>                              wMaxPacketSize of both bulk endpoints
//
// Asynchronous transfers: bulk IN transfers may be submitted (libusb_submit_transfer) and
// cancelled; they complete, with their callback, inside libusb_handle_events_completed or
// libusb_handle_events_timeout_completed, on whichever thread handles events at the time, as in
// libusb. Injected "in" faults apply to them too.
//
// Tracing: when DIR/trace exists, one line is appended per event:
//   out <SERIAL> <length>        a bulk OUT transfer as requested (before it runs)
//   clearhalt <SERIAL> <endpoint hex>
#include <libusb.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kDataInterface = 1;
constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kDecoyInterruptIn = 0x83;
constexpr uint16_t kDefaultMaxPacket = 512;

std::string simDir() {
  const char* dir = getenv("AXONFORGE_USBSIM_DIR");
  return dir ? dir : "";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return "";
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct DeviceLine {
  std::string serial;
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::string socketPath;
};

std::vector<DeviceLine> readDevices(const std::string& dir) {
  std::vector<DeviceLine> devices;
  if (dir.empty()) return devices;
  std::istringstream lines(readFile(dir + "/devices"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    DeviceLine d;
    std::string vendor, product;
    if (!(fields >> d.serial >> vendor >> product >> d.socketPath)) continue;
    d.vendor = static_cast<uint16_t>(strtoul(vendor.c_str(), nullptr, 16));
    d.product = static_cast<uint16_t>(strtoul(product.c_str(), nullptr, 16));
    devices.push_back(d);
  }
  return devices;
}

bool isPresent(const std::string& dir, const std::string& serial) {
  for (const DeviceLine& d : readDevices(dir))
    if (d.serial == serial) return true;
  return false;
}

// ---- fault rules ------------------------------------------------------------------------

struct FaultRule {
  std::string serial;  // "*" matches every device
  std::string operation;
  int result = 0;      // libusb error code
  long remaining = 1;  // < 0: always
};

struct FaultTable {
  std::mutex lock;
  std::string loadedFrom;  // directory, file identity and content the rules were parsed from
  std::vector<FaultRule> rules;
  uint16_t maxPacket(const std::string& serial);
  int take(const std::string& serial, const char* operation);

 private:
  void refresh();
};

int resultCode(const std::string& name) {
  if (name == "busy") return LIBUSB_ERROR_BUSY;
  if (name == "access") return LIBUSB_ERROR_ACCESS;
  if (name == "nodev") return LIBUSB_ERROR_NO_DEVICE;
  if (name == "io") return LIBUSB_ERROR_IO;
  if (name == "pipe") return LIBUSB_ERROR_PIPE;
  if (name == "timeout") return LIBUSB_ERROR_TIMEOUT;
  if (name == "other") return LIBUSB_ERROR_OTHER;
  return 0;
}

void FaultTable::refresh() {
  const std::string dir = simDir();
  const std::string path = dir + "/faults";
  const std::string content = dir.empty() ? "" : readFile(path);
  // Rewriting the file (even with the same rules) restarts the counters.
  struct stat info;
  memset(&info, 0, sizeof info);
  if (!dir.empty()) stat(path.c_str(), &info);
  const std::string key = dir + "\n" + std::to_string(info.st_ino) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
                          std::to_string(info.st_mtim.tv_nsec) + "\n" + content;
  if (key == loadedFrom) return;
  loadedFrom = key;
  rules.clear();
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    FaultRule rule;
    std::string result, count;
    if (!(fields >> rule.serial >> rule.operation >> result)) continue;
    if (rule.operation == "maxpacket") {
      rule.remaining = strtol(result.c_str(), nullptr, 0);
    } else {
      rule.result = resultCode(result);
      if (rule.result == 0) continue;
      if (fields >> count) rule.remaining = count == "always" ? -1 : strtol(count.c_str(), nullptr, 0);
    }
    rules.push_back(rule);
  }
}

uint16_t FaultTable::maxPacket(const std::string& serial) {
  std::lock_guard<std::mutex> guard(lock);
  refresh();
  for (const FaultRule& r : rules)
    if (r.operation == "maxpacket" && (r.serial == "*" || r.serial == serial) && r.remaining > 0)
      return static_cast<uint16_t>(r.remaining);
  return kDefaultMaxPacket;
}

// The libusb error injected for this operation, or 0 to run it for real.
int FaultTable::take(const std::string& serial, const char* operation) {
  std::lock_guard<std::mutex> guard(lock);
  refresh();
  for (FaultRule& r : rules) {
    if (r.operation != operation || (r.serial != "*" && r.serial != serial) || r.remaining == 0) continue;
    if (r.remaining > 0) --r.remaining;
    return r.result;
  }
  return 0;
}

FaultTable& faults() {
  static FaultTable table;
  return table;
}

void trace(const std::string& dir, const std::string& event) {
  const std::string path = dir + "/trace";
  if (access(path.c_str(), F_OK) != 0) return;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  if (fd < 0) return;
  const std::string line = event + "\n";
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}

void sleepMs(unsigned int ms) {
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll() time-out for a libusb time-out (0 means wait for ever) and a start time.
int remainingMs(unsigned int timeout, long long start) {
  if (timeout == 0) return -1;
  long long left = static_cast<long long>(timeout) - (nowMs() - start);
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

struct libusb_context {
  int users = 0;
};

struct libusb_device {
  std::atomic<int> references{1};
  std::string dir;
  DeviceLine line;
  uint8_t address = 0;
};

struct libusb_device_handle {
  libusb_device* device = nullptr;
  int socket = -1;  // connection to the device's peer while the data interface is claimed
  int lockFd = -1;
  bool decoyClaimed = false;
};

namespace {

std::mutex defaultContextLock;
libusb_context* defaultContext = nullptr;

void releaseDataInterface(libusb_device_handle* handle) {
  if (handle->socket >= 0) close(handle->socket);
  handle->socket = -1;
  if (handle->lockFd >= 0) {
    flock(handle->lockFd, LOCK_UN);
    close(handle->lockFd);
  }
  handle->lockFd = -1;
}

int connectPeer(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    close(fd);
    return -1;
  }
  memcpy(address.sun_path, path.c_str(), path.size());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int claimDataInterface(libusb_device_handle* handle) {
  if (handle->socket >= 0) return LIBUSB_SUCCESS;
  const libusb_device* dev = handle->device;
  const std::string lockPath = dev->dir + "/" + dev->line.serial + ".lock";
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0) return LIBUSB_ERROR_ACCESS;
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    return LIBUSB_ERROR_BUSY;
  }
  int fd = connectPeer(dev->line.socketPath);
  if (fd < 0) {
    flock(lockFd, LOCK_UN);
    close(lockFd);
    return LIBUSB_ERROR_NO_DEVICE;
  }
  handle->socket = fd;
  handle->lockFd = lockFd;
  return LIBUSB_SUCCESS;
}

int bulkIn(libusb_device_handle* handle, unsigned char* data, int length, int* transferred,
           unsigned int timeout) {
  struct pollfd p = {handle->socket, POLLIN, 0};
  const long long start = nowMs();
  int ready;
  do {
    ready = poll(&p, 1, remainingMs(timeout, start));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return LIBUSB_ERROR_IO;
  if (ready == 0) return LIBUSB_ERROR_TIMEOUT;
  ssize_t n = read(handle->socket, data, static_cast<size_t>(length));
  if (n == 0) return LIBUSB_ERROR_NO_DEVICE;
  if (n < 0) return errno == ECONNRESET ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
  *transferred = static_cast<int>(n);
  return LIBUSB_SUCCESS;
}

int bulkOut(libusb_device_handle* handle, const unsigned char* data, int length, int* transferred,
            unsigned int timeout) {
  const long long start = nowMs();
  while (*transferred < length) {
    ssize_t n = send(handle->socket, data + *transferred, static_cast<size_t>(length - *transferred),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *transferred += static_cast<int>(n);
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) return LIBUSB_ERROR_NO_DEVICE;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return LIBUSB_ERROR_IO;
    struct pollfd p = {handle->socket, POLLOUT, 0};
    int wait = remainingMs(timeout, start);
    if (wait == 0 || poll(&p, 1, wait) == 0) return LIBUSB_ERROR_TIMEOUT;
  }
  return LIBUSB_SUCCESS;
}

libusb_interface_descriptor makeInterface(uint8_t number, uint8_t subClass, uint8_t protocol,
                                          libusb_endpoint_descriptor* endpoints, uint8_t count) {
  libusb_interface_descriptor d;
  memset(&d, 0, sizeof d);
  d.bLength = LIBUSB_DT_INTERFACE_SIZE;
  d.bDescriptorType = LIBUSB_DT_INTERFACE;
  d.bInterfaceNumber = number;
  d.bNumEndpoints = count;
  d.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
  d.bInterfaceSubClass = subClass;
  d.bInterfaceProtocol = protocol;
  d.endpoint = endpoints;
  return d;
}

libusb_endpoint_descriptor makeEndpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket) {
  libusb_endpoint_descriptor e;
  memset(&e, 0, sizeof e);
  e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
  e.bDescriptorType = LIBUSB_DT_ENDPOINT;
  e.bEndpointAddress = address;
  e.bmAttributes = attributes;
  e.wMaxPacketSize = maxPacket;
  return e;
}

// One allocation holding the configuration with both interfaces and their endpoints.
struct ConfigBlock {
  libusb_config_descriptor config;
  libusb_interface interfaces[2];
  libusb_interface_descriptor settings[2];
  libusb_endpoint_descriptor decoyEndpoints[1];
  libusb_endpoint_descriptor dataEndpoints[2];
};

// ---- asynchronous transfers ---------------------------------------------------------------

struct PendingTransfer {
  libusb_transfer* transfer;
  long long deadline;  // 0: none
  int injected;        // libusb error to complete with, 0 to read the peer
  bool cancelled;
};

// One event loop for the whole process. One thread at a time handles events; the others wait
// until it has finished a round and then look at their own completion flag again.
struct EventLoop {
  std::mutex lock;
  std::condition_variable roundDone;
  bool handling = false;
  std::vector<PendingTransfer> pending;
  int wake[2] = {-1, -1};  // wakes the handler when a transfer is submitted or cancelled

  EventLoop() {
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
  }
  void poke() {
    const char byte = 0;
    ssize_t ignored = write(wake[1], &byte, 1);
    (void)ignored;
  }
  void drainWake() {
    char bytes[64];
    while (read(wake[0], bytes, sizeof bytes) > 0) {
    }
  }
};

EventLoop& events() {
  static EventLoop* loop = new EventLoop;  // transfers may still run while statics are destroyed
  return *loop;
}

enum libusb_transfer_status statusOf(int error) {
  switch (error) {
    case LIBUSB_ERROR_TIMEOUT: return LIBUSB_TRANSFER_TIMED_OUT;
    case LIBUSB_ERROR_PIPE: return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_NO_DEVICE: return LIBUSB_TRANSFER_NO_DEVICE;
    default: return LIBUSB_TRANSFER_ERROR;
  }
}

// Decides a pending transfer after the handler's poll; false while it must keep waiting.
bool settle(PendingTransfer& p, bool readable, long long now) {
  libusb_transfer* t = p.transfer;
  if (p.cancelled) {
    t->status = LIBUSB_TRANSFER_CANCELLED;
    return true;
  }
  const bool expired = p.deadline != 0 && now >= p.deadline;
  if (p.injected != 0) {
    if (p.injected == LIBUSB_ERROR_TIMEOUT && !expired) return false;
    t->status = statusOf(p.injected);
    return true;
  }
  if (readable) {
    ssize_t n = recv(t->dev_handle->socket, t->buffer, static_cast<size_t>(t->length), MSG_DONTWAIT);
    if (n > 0) {
      t->actual_length = static_cast<int>(n);
      t->status = LIBUSB_TRANSFER_COMPLETED;
      return true;
    }
    if (n == 0 || (n < 0 && errno == ECONNRESET)) {
      t->status = LIBUSB_TRANSFER_NO_DEVICE;
      return true;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      t->status = LIBUSB_TRANSFER_ERROR;
      return true;
    }
  }
  if (!expired) return false;
  t->status = LIBUSB_TRANSFER_TIMED_OUT;
  return true;
}

// One round of event handling: waits up to timeoutMs for any pending transfer to be decided,
// then runs the callbacks of those that were. Called with the loop's lock held by guard.
void handleRound(EventLoop& loop, std::unique_lock<std::mutex>& guard, long long until) {
  std::vector<pollfd> fds = {{loop.wake[0], POLLIN, 0}};
  std::vector<libusb_transfer*> polled;
  long long wakeAt = until;
  for (const PendingTransfer& p : loop.pending) {
    if (p.deadline != 0) wakeAt = std::min(wakeAt, p.deadline);
    if (p.cancelled) wakeAt = 0;
    if (p.cancelled || p.injected != 0) continue;
    fds.push_back({p.transfer->dev_handle->socket, POLLIN, 0});
    polled.push_back(p.transfer);
  }
  const long long waitMs = std::max(0LL, wakeAt - nowMs());
  guard.unlock();
  int ready = poll(fds.data(), fds.size(), static_cast<int>(std::min(waitMs, 60000LL)));
  guard.lock();
  loop.drainWake();
  std::vector<libusb_transfer*> done;
  const long long now = nowMs();
  for (auto p = loop.pending.begin(); p != loop.pending.end();) {
    auto at = std::find(polled.begin(), polled.end(), p->transfer);
    const bool readable = ready > 0 && at != polled.end() && fds[1 + (at - polled.begin())].revents != 0;
    if (settle(*p, readable, now)) {
      done.push_back(p->transfer);
      p = loop.pending.erase(p);
    } else {
      ++p;
    }
  }
  guard.unlock();
  for (libusb_transfer* t : done) t->callback(t);
  guard.lock();
}

int handleEvents(long long timeoutMs, int* completed) {
  EventLoop& loop = events();
  std::unique_lock<std::mutex> guard(loop.lock);
  if (completed && __atomic_load_n(completed, __ATOMIC_ACQUIRE)) return LIBUSB_SUCCESS;
  const long long until = nowMs() + timeoutMs;
  if (loop.handling) {
    loop.roundDone.wait_for(guard, std::chrono::milliseconds(timeoutMs));
    return LIBUSB_SUCCESS;
  }
  loop.handling = true;
  handleRound(loop, guard, until);
  loop.handling = false;
  loop.roundDone.notify_all();
  return LIBUSB_SUCCESS;
}

}  // namespace

extern "C" {

int libusb_init(libusb_context** ctx) {
  std::lock_guard<std::mutex> guard(defaultContextLock);
  if (ctx) {
    *ctx = new libusb_context;
    return LIBUSB_SUCCESS;
  }
  if (!defaultContext) defaultContext = new libusb_context;
  defaultContext->users++;
  return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context* ctx) {
  std::lock_guard<std::mutex> guard(defaultContextLock);
  if (ctx) {
    delete ctx;
    return;
  }
  if (defaultContext && --defaultContext->users == 0) {
    delete defaultContext;
    defaultContext = nullptr;
  }
}

const char* libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
  }
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  if (!list) return LIBUSB_ERROR_INVALID_PARAM;
  const std::string dir = simDir();
  const std::vector<DeviceLine> lines = readDevices(dir);
  libusb_device** devices = static_cast<libusb_device**>(calloc(lines.size() + 1, sizeof(libusb_device*)));
  if (!devices) return LIBUSB_ERROR_NO_MEM;
  for (size_t i = 0; i < lines.size(); ++i) {
    libusb_device* d = new libusb_device;
    d->dir = dir;
    d->line = lines[i];
    d->address = static_cast<uint8_t>(i + 1);
    devices[i] = d;
  }
  *list = devices;
  return static_cast<ssize_t>(lines.size());
}

libusb_device* libusb_ref_device(libusb_device* dev) {
  if (dev) dev->references++;
  return dev;
}

void libusb_unref_device(libusb_device* dev) {
  if (dev && --dev->references == 0) delete dev;
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (!list) return;
  if (unref_devices)
    for (libusb_device** d = list; *d; ++d) libusb_unref_device(*d);
  free(list);
}

uint8_t libusb_get_bus_number(libusb_device*) { return 1; }

uint8_t libusb_get_device_address(libusb_device* dev) { return dev ? dev->address : 0; }

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  if (!dev || !desc) return LIBUSB_ERROR_INVALID_PARAM;
  memset(desc, 0, sizeof *desc);
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = dev->line.vendor;
  desc->idProduct = dev->line.product;
  desc->bcdDevice = 0x0100;
  desc->iManufacturer = 1;
  desc->iProduct = 2;
  desc->iSerialNumber = 3;
  desc->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index, struct libusb_config_descriptor** config) {
  if (!dev || !config) return LIBUSB_ERROR_INVALID_PARAM;
  if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
  const uint16_t maxPacket = faults().maxPacket(dev->line.serial);
  ConfigBlock* b = new ConfigBlock;
  memset(b, 0, sizeof *b);
  b->decoyEndpoints[0] = makeEndpoint(kDecoyInterruptIn, LIBUSB_TRANSFER_TYPE_INTERRUPT, 64);
  b->dataEndpoints[0] = makeEndpoint(kBulkIn, LIBUSB_TRANSFER_TYPE_BULK, maxPacket);
  b->dataEndpoints[1] = makeEndpoint(kBulkOut, LIBUSB_TRANSFER_TYPE_BULK, maxPacket);
  b->settings[0] = makeInterface(0, 0x00, 0x00, b->decoyEndpoints, 1);
  b->settings[1] = makeInterface(kDataInterface, 0x88, 0x10, b->dataEndpoints, 2);
  for (int i = 0; i < 2; ++i) {
    b->interfaces[i].altsetting = &b->settings[i];
    b->interfaces[i].num_altsetting = 1;
  }
  b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
  b->config.bDescriptorType = LIBUSB_DT_CONFIG;
  b->config.bNumInterfaces = 2;
  b->config.bConfigurationValue = 1;
  b->config.bmAttributes = 0x80;
  b->config.MaxPower = 50;
  b->config.interface = b->interfaces;
  *config = &b->config;
  return LIBUSB_SUCCESS;
}

int libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
  return libusb_get_config_descriptor(dev, 0, config);
}

void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  // The configuration is the first member of its block.
  delete reinterpret_cast<ConfigBlock*>(config);
}

int libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
  if (!dev) return LIBUSB_ERROR_INVALID_PARAM;
  if (endpoint == kBulkIn || endpoint == kBulkOut) return faults().maxPacket(dev->line.serial);
  if (endpoint == kDecoyInterruptIn) return 64;
  return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  if (!dev || !handle) return LIBUSB_ERROR_INVALID_PARAM;
  if (int injected = faults().take(dev->line.serial, "open")) return injected;
  if (!isPresent(dev->dir, dev->line.serial)) return LIBUSB_ERROR_NO_DEVICE;
  libusb_device_handle* h = new libusb_device_handle;
  h->device = libusb_ref_device(dev);
  *handle = h;
  return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle* handle) {
  if (!handle) return;
  releaseDataInterface(handle);
  libusb_unref_device(handle->device);
  delete handle;
}

libusb_device* libusb_get_device(libusb_device_handle* handle) { return handle ? handle->device : nullptr; }

int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t desc_index, unsigned char* data,
                                       int length) {
  if (!handle || !data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  std::string text;
  switch (desc_index) {
    case 1: text = "Axonforge"; break;
    case 2: text = "Simulated module"; break;
    case 3: text = handle->device->line.serial; break;
    default: return LIBUSB_ERROR_PIPE;  // a device stalls requests for strings it does not have
  }
  size_t n = text.size() < static_cast<size_t>(length - 1) ? text.size() : static_cast<size_t>(length - 1);
  memcpy(data, text.data(), n);
  data[n] = 0;
  return static_cast<int>(n);
}

int libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  if (int injected = faults().take(handle->device->line.serial, "claim")) return injected;
  if (interface_number == 0) {
    handle->decoyClaimed = true;
    return LIBUSB_SUCCESS;
  }
  if (interface_number != kDataInterface) return LIBUSB_ERROR_NOT_FOUND;
  return claimDataInterface(handle);
}

int libusb_release_interface(libusb_device_handle* handle, int interface_number) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  if (interface_number == 0 && handle->decoyClaimed) {
    handle->decoyClaimed = false;
    return LIBUSB_SUCCESS;
  }
  if (interface_number != kDataInterface || handle->socket < 0) return LIBUSB_ERROR_NOT_FOUND;
  releaseDataInterface(handle);
  return LIBUSB_SUCCESS;
}

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                         int* transferred, unsigned int timeout) {
  int ignored = 0;
  if (!transferred) transferred = &ignored;
  *transferred = 0;
  if (!handle || (!data && length > 0) || length < 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (endpoint != kBulkIn && endpoint != kBulkOut) return LIBUSB_ERROR_NOT_FOUND;
  if (handle->socket < 0) return LIBUSB_ERROR_NOT_FOUND;  // interface not claimed
  const std::string& serial = handle->device->line.serial;
  const bool in = endpoint == kBulkIn;
  if (!in) trace(handle->device->dir, "out " + serial + " " + std::to_string(length));
  if (int injected = faults().take(serial, in ? "in" : "out")) {
    if (injected == LIBUSB_ERROR_TIMEOUT) sleepMs(timeout);
    return injected;
  }
  return in ? bulkIn(handle, data, length, transferred, timeout) : bulkOut(handle, data, length, transferred, timeout);
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  char event[64];
  snprintf(event, sizeof event, "clearhalt %s %02x", handle->device->line.serial.c_str(), endpoint);
  trace(handle->device->dir, event);
  if (int injected = faults().take(handle->device->line.serial, "clearhalt")) return injected;
  if (endpoint != kBulkIn && endpoint != kBulkOut) return LIBUSB_ERROR_NOT_FOUND;
  return LIBUSB_SUCCESS;
}

struct libusb_transfer* libusb_alloc_transfer(int iso_packets) {
  if (iso_packets < 0) return nullptr;
  return static_cast<libusb_transfer*>(
      calloc(1, sizeof(libusb_transfer) + static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor)));
}

void libusb_free_transfer(struct libusb_transfer* transfer) { free(transfer); }

int libusb_submit_transfer(struct libusb_transfer* transfer) {
  if (!transfer || !transfer->dev_handle || !transfer->callback) return LIBUSB_ERROR_INVALID_PARAM;
  libusb_device_handle* handle = transfer->dev_handle;
  if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK || transfer->endpoint != kBulkIn) return LIBUSB_ERROR_NOT_SUPPORTED;
  if (handle->socket < 0) return LIBUSB_ERROR_NO_DEVICE;
  transfer->actual_length = 0;
  const int injected = faults().take(handle->device->line.serial, "in");
  const long long deadline = transfer->timeout != 0 ? nowMs() + transfer->timeout : 0;
  EventLoop& loop = events();
  std::lock_guard<std::mutex> guard(loop.lock);
  loop.pending.push_back({transfer, deadline, injected, false});
  loop.poke();
  return LIBUSB_SUCCESS;
}

int libusb_cancel_transfer(struct libusb_transfer* transfer) {
  EventLoop& loop = events();
  std::lock_guard<std::mutex> guard(loop.lock);
  for (PendingTransfer& p : loop.pending) {
    if (p.transfer != transfer || p.cancelled) continue;
    p.cancelled = true;
    loop.poke();
    return LIBUSB_SUCCESS;
  }
  return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_handle_events_timeout_completed(libusb_context*, struct timeval* tv, int* completed) {
  const long long timeoutMs = tv ? static_cast<long long>(tv->tv_sec) * 1000 + tv->tv_usec / 1000 : 0;
  return handleEvents(timeoutMs, completed);
}

int libusb_handle_events_completed(libusb_context*, int* completed) { return handleEvents(60000, completed); }

}  // extern "C"

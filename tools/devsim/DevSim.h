#ifndef DEVSIM_DEVSIM_H
#define DEVSIM_DEVSIM_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DiscoveryResponder.h"
#include "EventLoop.h"
#include "FaultPlan.h"
#include "HostLink.h"
#include "ModuleSpec.h"
#include "PtyPort.h"
#include "SimLog.h"
#include "SimModule.h"
#include "UsbDirectory.h"

namespace devsim {

struct DevSimConfig {
  std::vector<ModuleSpec> modules;
  std::string bindAddress = "127.0.0.1";  // TCP listeners
  std::string usbDir;                     // empty: no simulated USB
  bool discovery = false;                 // answer network module queries (namespaces only)
  uint16_t discoveryPort = kDiscoveryQueryPort;
  uint16_t discoveryReplyPort = kDiscoveryReplyPort;
  std::string flashDir;  // when set, each module's flash image is written there after a reboot
  std::vector<std::pair<uint32_t, FaultSpec>> faults;  // serial 0: the first module
  bool verbose = false;
};

// A snapshot of one module as the simulator sees it.
struct ModuleStatus {
  uint32_t serial = 0;  // currently reported
  uint8_t address = 0;
  uint32_t build = 0;
  FirmwareVersion version;
  RunState run = RunState::Firmware;
  uint32_t restarts = 0;
  size_t links = 0;
  bool routed = false;  // some link has the route switched on
  // Heartbeats on all its links since the start: correctly answered, answered with a wrong
  // value, and missed (no correct answer before the next was due).
  uint32_t heartbeatsAnswered = 0;
  uint32_t heartbeatsWrong = 0;
  uint32_t heartbeatsMissed = 0;
  uint8_t routeToMe = 0;
  size_t flashBytes = 0;
};

// The device simulator: modules, their transports, and the thread that runs them. Every public
// operation is safe to call from any thread while the simulator runs.
class DevSim {
 public:
  explicit DevSim(DevSimConfig config);
  ~DevSim();
  DevSim(const DevSim&) = delete;
  DevSim& operator=(const DevSim&) = delete;

  // Opens every transport and starts the simulator thread; false with a message on failure
  // (nothing is left open then, and start may be tried again). Once stopped, a simulator stays
  // stopped.
  bool start(std::string* error);
  void stop();

  // "tcp <SERIAL> <host>:<port>", "serialport <SERIAL> <slave> [<link>]", "kdev <SERIAL> <path>
  // <slave>", "usb <SERIAL> <socket>", "bus <SERIAL> <ROUTER SERIAL> <address>",
  // "discovery <port>": one line per endpoint, as opened at start.
  std::vector<std::string> endpointLines() const;
  // Endpoints of a module, by its configured serial number (0 / empty when it has none).
  uint16_t tcpPort(uint32_t serial) const;
  std::string serialPortPath(uint32_t serial) const;
  std::string kernelNodePath(uint32_t serial) const;
  std::string usbSocketPath(uint32_t serial) const;

  bool addFault(uint32_t serial, const FaultSpec& fault);
  // Makes the module send an unsolicited packet (for example a stream sample of a layout its
  // entities do not produce, see EncodeSample) to every host link routed to it.
  bool emit(uint32_t serial, const SimPacket& packet);
  // Simulated USB hot-plug: unplugging closes the device's connections and unlists it.
  bool setUsbPlugged(uint32_t serial, bool plugged);
  bool status(uint32_t serial, ModuleStatus* out) const;
  bool flashImage(uint32_t serial, uint32_t* base, std::vector<uint8_t>* image) const;
  bool writeFlashImage(uint32_t serial, const std::string& path, std::string* error) const;
  SimLog& log() { return log_; }

 private:
  struct Node;

  bool validate(std::string* error) const;
  int nodeIndex(uint32_t serial) const;
  bool attach(size_t node, std::string* error);
  void detach(size_t node);
  void attachOrRetry(size_t node);
  bool openUsb(size_t node, std::string* error);
  void closeUsb(size_t node);
  void watchListener(int listenFd, LinkKind kind, size_t node);
  void addLink(int fd, bool ownsFd, LinkKind kind, size_t node);
  void closeLink(int id, const std::string& why);
  void onLinkEvent(int id, short revents);
  void process(int id, const SimPacket& packet);
  void deliver(int linkId, SimModule& from, const Reply& reply);
  void transmit(HostLink& link, SimModule& from, SimPacket packet);
  void sendUnsolicited(size_t node, SimModule& from, const SimPacket& packet, ReplyKind kind);
  SimModule* moduleAt(size_t node, uint8_t address);
  void restart(size_t node, Restart kind);
  void comeBack(size_t node, Restart kind);
  void heartbeatAnswer(HostLink& link, uint8_t value);
  void heartbeatTick(size_t node);
  void sampleTick(size_t node);
  void onDiscoveryQuery();
  void writeFlashFile(size_t node);
  void closeEverything();
  void run();

  DevSimConfig config_;
  mutable std::mutex mutex_;
  SimLog log_;
  EventLoop loop_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::map<int, std::unique_ptr<HostLink>> links_;
  int nextLinkId_ = 1;
  UsbDirectory usb_;
  DiscoveryResponder discovery_;
  std::vector<std::string> endpointLines_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  bool stopped_ = false;  // its timers and modules are spent: a new simulator is needed
};

}  // namespace devsim

#endif

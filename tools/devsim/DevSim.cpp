#include "DevSim.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>

#include "PacketText.h"
#include "Sockets.h"

namespace devsim {

namespace {

constexpr uint32_t kHeartbeatUnitMs = 100;
constexpr uint32_t kIdleHeartbeatCheckMs = 500;
constexpr uint32_t kMaxMissedHeartbeats = 3;
constexpr uint32_t kMinSamplePeriodMs = 10;
constexpr auto kReattachRetry = std::chrono::milliseconds(200);

std::string WithSerial(const std::string& pattern, uint32_t serial) {
  std::string path = pattern;
  size_t at = path.find("%08X");
  if (at != std::string::npos) path.replace(at, 4, SerialText(serial));
  return path;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f) ok = std::fclose(f) == 0 && ok;
  if (!ok) *error = "cannot write " + path + ": " + ErrnoText(errno);
  return ok;
}

const char* RestartText(Restart kind) {
  switch (kind) {
    case Restart::IntoLoader:
      return "restarts into its loader";
    case Restart::NewImage:
      return "reboots into its new image";
    case Restart::Reset:
      return "resets";
    case Restart::None:
      break;
  }
  return "restarts";
}

}  // namespace

struct DevSim::Node {
  Node(const ModuleSpec& spec, SimLog& log) : module(spec, log) {}

  SimModule module;
  int router = -1;  // index of the module whose bus this one sits on
  std::vector<size_t> bus;
  int tcpListen = -1;
  uint16_t tcpPort = 0;
  PtyPort serialPort;
  PtyPort kernelNode;
  int usbListen = -1;
  uint32_t usbSerial = 0;  // the serial the device is listed under while plugged in
  bool usbPlugged = true;
  uint32_t restarts = 0;
  // Heartbeats on all its links so far.
  uint32_t heartbeatsAnswered = 0;
  uint32_t heartbeatsWrong = 0;
  uint32_t heartbeatsMissed = 0;

  const ModuleSpec& spec() const { return module.state().spec; }
};

DevSim::DevSim(DevSimConfig config) : config_(std::move(config)), usb_(config_.usbDir) {
  log_.setVerbose(config_.verbose);
}

DevSim::~DevSim() { stop(); }

int DevSim::nodeIndex(uint32_t serial) const {
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i]->spec().serial == serial) return static_cast<int>(i);
  }
  return -1;
}

bool DevSim::validate(std::string* error) const {
  const auto& modules = config_.modules;
  if (modules.empty()) {
    *error = "no modules: give at least one --module";
    return false;
  }
  auto find = [&modules](uint32_t serial) {
    return std::find_if(modules.begin(), modules.end(), [serial](const ModuleSpec& m) { return m.serial == serial; });
  };
  std::set<uint32_t> serials;
  for (const auto& m : modules) {
    if (!serials.insert(m.serial).second) {
      *error = "two modules have the serial number " + SerialText(m.serial);
      return false;
    }
    if (m.usb && !usb_.enabled()) {
      *error = "module " + SerialText(m.serial) + " is USB-attached but no USB directory was given (--usb-dir)";
      return false;
    }
    if (!m.behindRouter) continue;
    auto router = find(m.routerSerial);
    if (router == modules.end() || router->behindRouter || router->serial == m.serial) {
      *error = "module " + SerialText(m.serial) + " sits behind " + SerialText(m.routerSerial) +
               ", which is not a directly reachable module";
      return false;
    }
  }
  for (const auto& router : modules) {
    std::set<uint8_t> addresses = {router.address};
    for (const auto& m : modules) {
      if (m.behindRouter && m.routerSerial == router.serial && !addresses.insert(m.address).second) {
        *error = "address " + std::to_string(m.address) + " is used twice on the bus of " + SerialText(router.serial);
        return false;
      }
    }
  }
  if (usb_.enabled()) {
    struct stat st;
    if (stat(config_.usbDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "USB directory " + config_.usbDir + " does not exist";
      return false;
    }
  }
  return true;
}

bool DevSim::start(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_ || stopped_) {
    *error = started_ ? "the simulator is already running" : "a stopped simulator cannot be started again";
    return false;
  }
  if (!validate(error)) return false;
  for (const auto& spec : config_.modules) nodes_.push_back(std::make_unique<Node>(spec, log_));
  for (size_t i = 0; i < nodes_.size(); ++i) {
    Node& n = *nodes_[i];
    if (!n.spec().direct()) {
      n.router = nodeIndex(n.spec().routerSerial);
      nodes_[n.router]->bus.push_back(i);
      n.module.state().placeBehind(nodes_[n.router]->module.state().address);
    }
    n.module.i2c().setBus([this, i](uint8_t address) {
      for (size_t b : nodes_[i]->bus) {
        const SimModule& m = nodes_[b]->module;
        if (m.present() && m.state().address == address) return true;
      }
      return false;
    });
  }
  for (const auto& [serial, fault] : config_.faults) {
    int index = serial ? nodeIndex(serial) : 0;
    if (index < 0) {
      *error = "a fault names module " + SerialText(serial) + ", which is not simulated";
      nodes_.clear();
      return false;
    }
    nodes_[index]->module.faults().add(fault);
  }
  bool opened = !usb_.enabled() || usb_.claim(error);
  opened = opened && (!config_.discovery || discovery_.open(config_.discoveryPort, error));
  if (opened && config_.discovery) {
    loop_.watch(discovery_.fd(), POLLIN, [this](short) { onDiscoveryQuery(); });
  }
  for (size_t i = 0; opened && i < nodes_.size(); ++i) {
    Node& n = *nodes_[i];
    if (n.spec().startsInLoader) n.module.comeBack(Restart::IntoLoader, Clock::now());
    if (!n.spec().direct()) continue;
    if (n.spec().serialPty) {
      opened = n.serialPort.open(n.spec().serialLink, error);
      if (opened) addLink(n.serialPort.masterFd(), false, LinkKind::Serial, i);
    }
    opened = opened && attach(i, error);
  }
  if (!opened) {
    closeEverything();
    nodes_.clear();
    return false;
  }

  endpointLines_.clear();
  for (size_t i = 0; i < nodes_.size(); ++i) {
    Node& n = *nodes_[i];
    std::string serial = SerialText(n.spec().serial);
    if (n.tcpListen >= 0) endpointLines_.push_back("tcp " + serial + " " + config_.bindAddress + ":" + std::to_string(n.tcpPort));
    if (n.serialPort.isOpen()) {
      endpointLines_.push_back("serialport " + serial + " " + n.serialPort.slavePath() +
                               (n.serialPort.linkPath().empty() ? "" : " " + n.serialPort.linkPath()));
    }
    if (n.kernelNode.isOpen()) {
      endpointLines_.push_back("kdev " + serial + " " + n.kernelNode.linkPath() + " " + n.kernelNode.slavePath());
    }
    if (n.usbListen >= 0) endpointLines_.push_back("usb " + serial + " " + usb_.socketPath(n.usbSerial));
    if (n.router >= 0) {
      endpointLines_.push_back("bus " + serial + " " + SerialText(nodes_[n.router]->spec().serial) + " " +
                               std::to_string(n.module.state().address));
    }
  }
  if (config_.discovery) endpointLines_.push_back("discovery " + std::to_string(config_.discoveryPort));

  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i]->spec().direct()) heartbeatTick(i);
    loop_.after(std::chrono::milliseconds(std::max(kMinSamplePeriodMs, nodes_[i]->spec().samplePeriodMs)),
                [this, i] { sampleTick(i); });
  }
  stopping_ = false;
  started_ = true;
  thread_ = std::thread([this] { run(); });
  return true;
}

void DevSim::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    try {
      loop_.runOnce(lock);
    } catch (const std::exception& e) {
      log_.warning(std::string("simulator loop stopped: ") + e.what());
      return;
    }
  }
}

void DevSim::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) return;
    stopping_ = true;
  }
  loop_.wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  closeEverything();
  started_ = false;
  stopped_ = true;
}

void DevSim::closeEverything() {
  while (!links_.empty()) closeLink(links_.begin()->first, "simulator stopping");
  for (size_t i = 0; i < nodes_.size(); ++i) {
    detach(i);
    nodes_[i]->serialPort.close();
  }
  if (discovery_.fd() >= 0) loop_.unwatch(discovery_.fd());
  discovery_.close();
  usb_.clear();
}

// ---- transports ----

bool DevSim::attach(size_t index, std::string* error) {
  Node& n = *nodes_[index];
  const ModuleSpec& spec = n.spec();
  if (spec.tcpPort >= 0) {
    uint16_t port = n.tcpPort ? n.tcpPort : static_cast<uint16_t>(spec.tcpPort);
    int fd = ListenTcp(config_.bindAddress, port, &n.tcpPort, error);
    if (fd < 0) {
      *error += " (module " + SerialText(spec.serial) + ")";
      return false;
    }
    n.tcpListen = fd;
    watchListener(fd, LinkKind::Tcp, index);
  }
  if (spec.kernelNode) {
    if (!n.kernelNode.open(WithSerial(spec.kernelNodePath, n.module.state().serial), error)) return false;
    addLink(n.kernelNode.masterFd(), false, LinkKind::KernelNode, index);
  }
  if (usb_.enabled() && spec.usb && n.usbPlugged && !openUsb(index, error)) return false;
  return true;
}

void DevSim::attachOrRetry(size_t index) {
  std::string error;
  if (attach(index, &error)) return;
  log_.warning(nodes_[index]->module.label() + " cannot come back on its transports: " + error + "; retrying");
  detach(index);
  loop_.after(kReattachRetry, [this, index] {
    if (nodes_[index]->module.present()) attachOrRetry(index);
  });
}

bool DevSim::openUsb(size_t index, std::string* error) {
  Node& n = *nodes_[index];
  uint32_t serial = n.module.state().serial;
  int fd = ListenUnix(usb_.socketPath(serial), error);
  if (fd < 0) return false;
  n.usbListen = fd;
  n.usbSerial = serial;
  watchListener(fd, LinkKind::Usb, index);
  // The socket listens before the device is listed, so a host never sees a device it cannot open.
  return usb_.list(serial, n.spec().usbVendor, n.spec().productId(), error);
}

void DevSim::closeUsb(size_t index) {
  Node& n = *nodes_[index];
  if (n.usbListen < 0) return;
  std::string error;
  if (!usb_.unlist(n.usbSerial, &error)) log_.warning(error);
  std::vector<int> ids;
  for (const auto& [id, link] : links_) {
    if (link->module == index && link->kind == LinkKind::Usb) ids.push_back(id);
  }
  for (int id : ids) closeLink(id, "USB device gone");
  loop_.unwatch(n.usbListen);
  CloseFd(n.usbListen);
  unlink(usb_.socketPath(n.usbSerial).c_str());
}

void DevSim::detach(size_t index) {
  Node& n = *nodes_[index];
  closeUsb(index);
  std::vector<int> ids;
  for (const auto& [id, link] : links_) {
    if (link->module != index) continue;
    if (link->kind == LinkKind::Serial) {
      // A serial line stays; the device just stops talking on it.
      link->discardInput();
      link->routeOn = false;
    } else {
      ids.push_back(id);
    }
  }
  for (int id : ids) closeLink(id, "module left the link");
  if (n.tcpListen >= 0) {
    loop_.unwatch(n.tcpListen);
    CloseFd(n.tcpListen);
  }
  n.kernelNode.close();
}

void DevSim::watchListener(int listenFd, LinkKind kind, size_t node) {
  loop_.watch(listenFd, POLLIN, [this, listenFd, kind, node](short) {
    int fd = AcceptConnection(listenFd);
    if (fd >= 0) addLink(fd, true, kind, node);
  });
}

void DevSim::addLink(int fd, bool ownsFd, LinkKind kind, size_t node) {
  int id = nextLinkId_++;
  std::string name = std::string(LinkKindName(kind)) + "#" + std::to_string(id);
  std::string label = nodes_[node]->module.label();
  links_[id] = std::make_unique<HostLink>(id, fd, ownsFd, kind, node, nodes_[node]->spec().heartbeatValue,
                                          [this, label, name](const std::string& what) {
                                            log_.warning(label + " " + name + ": " + what);
                                          });
  loop_.watch(fd, POLLIN, [this, id](short revents) { onLinkEvent(id, revents); });
  log_.conversation(label + " " + name + " opened");
}

void DevSim::closeLink(int id, const std::string& why) {
  auto it = links_.find(id);
  if (it == links_.end()) return;
  HostLink& link = *it->second;
  link.flush();
  loop_.unwatch(link.fd);
  log_.conversation(nodes_[link.module]->module.label() + " " + link.name() + " closed: " + why);
  links_.erase(it);
}

void DevSim::onLinkEvent(int id, short revents) {
  auto it = links_.find(id);
  if (it == links_.end()) return;
  HostLink* link = it->second.get();
  if ((revents & POLLOUT) && link->flush() == HostLink::Io::Closed) {
    closeLink(id, "host stopped reading");
    return;
  }
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    std::vector<SimPacket> packets;
    HostLink::Io io = link->read(&packets);
    for (const auto& packet : packets) {
      if (!links_.count(id)) return;
      process(id, packet);
    }
    if (!links_.count(id)) return;
    if (io == HostLink::Io::Closed) {
      closeLink(id, "host closed the connection");
      return;
    }
  }
  loop_.setEvents(link->fd, static_cast<short>(POLLIN | (link->wantsWrite() ? POLLOUT : 0)));
}

// ---- the conversation ----

SimModule* DevSim::moduleAt(size_t node, uint8_t address) {
  SimModule& direct = nodes_[node]->module;
  if (direct.state().address == address) return &direct;
  for (size_t b : nodes_[node]->bus) {
    SimModule& m = nodes_[b]->module;
    if (m.present() && m.state().address == address) return &m;
  }
  return nullptr;
}

void DevSim::process(int id, const SimPacket& packet) {
  HostLink& link = *links_.at(id);
  size_t node = link.module;
  SimModule& direct = nodes_[node]->module;
  std::string where = direct.label() + " " + link.name();
  log_.conversation(where + " host> " + DescribePacket(packet, true));
  bool closeAfter = direct.faults().closeConnection();
  bool syncRequest = packet.address == kSyncAddress && packet.data.empty();
  if (!syncRequest) link.sync.interrupt();
  if (!direct.present()) {
    log_.conversation(where + " module is away; packet lost");
  } else if (syncRequest) {
    if (link.sync.request(Clock::now())) {
      deliver(id, direct, {direct.addressAnswer(), ReplyKind::Sync});
    } else {
      log_.conversation(where + " sync burst already answered twice");
    }
  } else if (packet.address == kSyncAddress) {
    log_.warning(where + ": sync request with a payload ignored");
  } else if (packet.address == kRouteAddress) {
    if (packet.data.size() == 1 && packet.data[0] <= 1) {
      link.routeOn = packet.data[0] == 1;
      link.heartbeat.reset();
    } else {
      log_.warning(where + ": malformed route switch ignored");
    }
  } else if (packet.address == direct.state().address && packet.data.size() == 2 &&
             packet.data[0] == kHeartbeatCommand) {
    heartbeatAnswer(link, packet.data[1]);
  } else if (SimModule* target = moduleAt(node, packet.address)) {
    Outcome out;
    target->handle(packet, Clock::now(), out);
    for (const auto& reply : out.replies) deliver(id, *target, reply);
    if (out.restart != Restart::None) {
      size_t targetNode = target == &direct ? node : static_cast<size_t>(nodeIndex(target->state().spec.serial));
      restart(targetNode, out.restart);
    }
  } else {
    log_.warning(where + ": no module at address " + std::to_string(packet.address) + " on this link; packet ignored");
  }
  if (closeAfter) closeLink(id, "fault: close after a number of packets");
}

void DevSim::deliver(int linkId, SimModule& from, const Reply& reply) {
  auto it = links_.find(linkId);
  if (it == links_.end()) return;
  HostLink& link = *it->second;
  if (from.faults().dropReply(reply.kind)) {
    log_.conversation(from.label() + " " + link.name() + " dropped " + ReplyKindName(reply.kind) +
                      " reply (fault): " + DescribePacket(reply.packet, false));
    return;
  }
  auto now = Clock::now();
  auto when = now + std::chrono::milliseconds(from.faults().replyDelayMs()) + std::chrono::microseconds(reply.busTimeUs);
  // Replies leave in the order they were made, whatever their delays.
  when = std::max(when, link.lastScheduled);
  if (when <= now) {
    transmit(link, from, reply.packet);
    return;
  }
  link.lastScheduled = when;
  SimModule* sender = &from;
  loop_.at(when, [this, linkId, sender, packet = reply.packet] {
    auto found = links_.find(linkId);
    if (found != links_.end()) transmit(*found->second, *sender, packet);
  });
}

void DevSim::transmit(HostLink& link, SimModule& from, SimPacket packet) {
  std::vector<uint8_t> wire = packet.wire();
  int offset = from.faults().corruptOffset(wire.size());
  std::string where = from.label() + " " + link.name();
  log_.conversation(where + " dev>  " + DescribePacket(packet, false));
  if (offset >= 0) {
    wire[static_cast<size_t>(offset)] ^= 0xFF;
    log_.conversation(where + " corrupted byte " + std::to_string(offset) + " on the wire (fault)");
  }
  if (link.send(wire) == HostLink::Io::Closed) {
    closeLink(link.id, "write failed");
    return;
  }
  if (link.wantsWrite()) loop_.setEvents(link.fd, POLLIN | POLLOUT);
}

void DevSim::sendUnsolicited(size_t node, SimModule& from, const SimPacket& packet, ReplyKind kind) {
  // A module on a bus reaches the host through its router's links.
  size_t linkNode = nodes_[node]->router >= 0 ? static_cast<size_t>(nodes_[node]->router) : node;
  std::vector<int> ids;
  for (const auto& [id, link] : links_) {
    if (link->module == linkNode && link->routeOn) ids.push_back(id);
  }
  for (int id : ids) deliver(id, from, {packet, kind});
}

// ---- restarts, heartbeats, samples ----

void DevSim::restart(size_t index, Restart kind) {
  Node& n = *nodes_[index];
  SimModule& m = n.module;
  log_.conversation(m.label() + " " + RestartText(kind));
  ++n.restarts;
  if (n.spec().direct()) detach(index);
  m.leave();
  if (m.faults().noReturn()) {
    m.state().run = RunState::Gone;
    log_.conversation(m.label() + " will not come back (fault)");
    return;
  }
  loop_.after(std::chrono::milliseconds(n.spec().restartDelayMs), [this, index, kind] { comeBack(index, kind); });
}

void DevSim::comeBack(size_t index, Restart kind) {
  Node& n = *nodes_[index];
  SimModule& m = n.module;
  m.comeBack(kind, Clock::now());
  const ModuleState& s = m.state();
  log_.conversation(m.label() + " is back: " + (s.run == RunState::Loader ? "loader" : "firmware") + " build " +
                    std::to_string(s.build) + " version " + s.version.text() + " serial " + SerialText(s.serial));
  if (n.spec().direct()) attachOrRetry(index);
  if (kind == Restart::NewImage && !config_.flashDir.empty()) writeFlashFile(index);
}

void DevSim::heartbeatAnswer(HostLink& link, uint8_t value) {
  Node& n = *nodes_[link.module];
  std::string where = n.module.label() + " " + link.name();
  std::string answer = "heartbeat answer 00 " + HexBytes(&value, 1);
  switch (link.heartbeat.answer(value)) {
    case LinkHeartbeat::Answer::Correct:
      ++n.heartbeatsAnswered;
      return;
    case LinkHeartbeat::Answer::Wrong: {
      ++n.heartbeatsWrong;
      uint8_t expected = link.heartbeat.expected();
      log_.warning(where + ": wrong " + answer + " (00 " + HexBytes(&expected, 1) + " expected)");
      return;
    }
    case LinkHeartbeat::Answer::Late:
      log_.warning(where + ": late " + answer + ", after its heartbeat was counted as missed");
      return;
    case LinkHeartbeat::Answer::Unexpected:
      log_.warning(where + ": " + answer + " with no heartbeat outstanding ignored");
      return;
  }
}

void DevSim::heartbeatTick(size_t index) {
  Node& n = *nodes_[index];
  SimModule& m = n.module;
  uint8_t interval = m.state().settings.heartbeatInterval;
  if (m.present() && interval > 0) {
    std::vector<int> ids;
    for (const auto& [id, link] : links_) {
      if (link->module == index && link->routeOn) ids.push_back(id);
    }
    uint32_t missLimit = m.faults().heartbeatMissLimit();
    for (int id : ids) {
      HostLink& link = *links_.at(id);
      if (link.heartbeat.expire()) {
        ++n.heartbeatsMissed;
        log_.warning(m.label() + " " + link.name() + ": heartbeat not answered");
      }
      if (missLimit > 0 && link.heartbeat.missed() >= missLimit) {
        closeLink(id, "fault: " + std::to_string(link.heartbeat.missed()) + " heartbeat(s) missed");
        continue;
      }
      if (link.heartbeat.missedInARow() >= kMaxMissedHeartbeats) {
        log_.warning(m.label() + " " + link.name() + ": host stopped answering heartbeats; route switched off");
        link.routeOn = false;
        continue;
      }
      uint8_t value = link.heartbeat.send();
      deliver(id, m, {SimPacket(m.state().address, {kHeartbeatCommand, value}), ReplyKind::Heartbeat});
    }
  }
  uint32_t next = interval > 0 ? interval * kHeartbeatUnitMs : kIdleHeartbeatCheckMs;
  loop_.after(std::chrono::milliseconds(next), [this, index] { heartbeatTick(index); });
}

void DevSim::sampleTick(size_t index) {
  Node& n = *nodes_[index];
  SimModule& m = n.module;
  if (m.present() && m.streams().active()) {
    for (const auto& packet : m.streams().samples(Clock::now())) sendUnsolicited(index, m, packet, ReplyKind::Sample);
  }
  loop_.after(std::chrono::milliseconds(std::max(kMinSamplePeriodMs, n.spec().samplePeriodMs)),
              [this, index] { sampleTick(index); });
}

void DevSim::onDiscoveryQuery() {
  uint32_t querier = 0;
  while (discovery_.receiveQuery(&querier)) {
    for (const auto& node : nodes_) {
      const SimModule& m = node->module;
      if (node->tcpListen < 0 || !m.present()) continue;
      const ModuleState& s = m.state();
      discovery_.reply(querier, config_.discoveryReplyPort, {s.address, node->tcpPort, s.serial, s.spec.model});
      log_.conversation(m.label() + " answered a network module query");
    }
  }
}

void DevSim::writeFlashFile(size_t index) {
  std::string path = config_.flashDir + "/" + SerialText(nodes_[index]->spec().serial) + ".bin";
  uint32_t base = 0;
  std::vector<uint8_t> image;
  std::string error;
  if (nodes_[index]->module.upgrade().flatImage(&base, &image) && !WriteFile(path, image, &error)) log_.warning(error);
}

// ---- API ----

std::vector<std::string> DevSim::endpointLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return endpointLines_;
}

uint16_t DevSim::tcpPort(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  return i < 0 ? 0 : nodes_[i]->tcpPort;
}

std::string DevSim::serialPortPath(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  if (i < 0) return "";
  const PtyPort& port = nodes_[i]->serialPort;
  return port.linkPath().empty() ? port.slavePath() : port.linkPath();
}

std::string DevSim::kernelNodePath(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  return i < 0 ? "" : nodes_[i]->kernelNode.linkPath();
}

std::string DevSim::usbSocketPath(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  return i < 0 || nodes_[i]->usbListen < 0 ? "" : usb_.socketPath(nodes_[i]->usbSerial);
}

bool DevSim::addFault(uint32_t serial, const FaultSpec& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  if (i < 0) return false;
  nodes_[i]->module.faults().add(fault);
  return true;
}

bool DevSim::emit(uint32_t serial, const SimPacket& packet) {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  if (i < 0 || !nodes_[i]->module.present() || packet.data.size() > kMaxPayload) return false;
  sendUnsolicited(static_cast<size_t>(i), nodes_[i]->module, packet, ReplyKind::Sample);
  loop_.wake();
  return true;
}

bool DevSim::setUsbPlugged(uint32_t serial, bool plugged) {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  if (i < 0 || !nodes_[i]->spec().usb || !usb_.enabled()) return false;
  Node& n = *nodes_[i];
  bool ok = true;
  if (n.usbPlugged != plugged) {
    n.usbPlugged = plugged;
    std::string error;
    if (!plugged) {
      closeUsb(static_cast<size_t>(i));
    } else if (n.module.present() && !(ok = openUsb(static_cast<size_t>(i), &error))) {
      log_.warning(error);
    }
  }
  loop_.wake();
  return ok;
}

bool DevSim::status(uint32_t serial, ModuleStatus* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  if (i < 0) return false;
  const Node& n = *nodes_[i];
  const ModuleState& s = n.module.state();
  ModuleStatus st;
  st.serial = s.serial;
  st.address = s.address;
  st.build = s.build;
  st.version = s.version;
  st.run = s.run;
  st.restarts = n.restarts;
  st.routeToMe = s.routeToMe;
  st.flashBytes = n.module.upgrade().bytesWritten();
  st.heartbeatsAnswered = n.heartbeatsAnswered;
  st.heartbeatsWrong = n.heartbeatsWrong;
  st.heartbeatsMissed = n.heartbeatsMissed;
  for (const auto& [id, link] : links_) {
    if (link->module != static_cast<size_t>(i)) continue;
    ++st.links;
    st.routed |= link->routeOn;
  }
  *out = st;
  return true;
}

bool DevSim::flashImage(uint32_t serial, uint32_t* base, std::vector<uint8_t>* image) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int i = nodeIndex(serial);
  return i >= 0 && nodes_[i]->module.upgrade().flatImage(base, image);
}

bool DevSim::writeFlashImage(uint32_t serial, const std::string& path, std::string* error) const {
  uint32_t base = 0;
  std::vector<uint8_t> image;
  if (!flashImage(serial, &base, &image)) {
    *error = "module " + SerialText(serial) + " has no flash image";
    return false;
  }
  return WriteFile(path, image, error);
}

}  // namespace devsim

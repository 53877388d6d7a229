#ifndef DEVSIM_HOSTLINK_H
#define DEVSIM_HOSTLINK_H

#include <cstdint>
#include <string>
#include <vector>

#include "LinkHeartbeat.h"
#include "ModuleState.h"
#include "SyncRun.h"
#include "WireAssembler.h"

namespace devsim {

enum class LinkKind { Tcp, Serial, KernelNode, Usb };
const char* LinkKindName(LinkKind kind);

// One host link to a directly reachable module: an accepted TCP or Unix-socket connection, or
// the master side of a pseudo-terminal. It assembles the host's packets, buffers what the device
// sends, and keeps the link's own state (route switch, sync runs, heartbeats).
class HostLink {
 public:
  HostLink(int id, int fd, bool ownsFd, LinkKind kind, size_t module, int heartbeatValue,
           WireAssembler::GarbageHandler onGarbage);
  ~HostLink();
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  enum class Io { Open, Closed };
  // Reads what is waiting and returns the packets it completes.
  Io read(std::vector<SimPacket>* packets);
  // Queues bytes and writes as much as the descriptor takes now.
  Io send(const std::vector<uint8_t>& bytes);
  Io flush();
  bool wantsWrite() const { return !pending_.empty(); }
  void discardInput() { assembler_.reset(); }

  std::string name() const;

  const int id;
  const int fd;
  const LinkKind kind;
  const size_t module;  // the directly reachable module this link leads to
  bool routeOn = false;
  SyncRun sync;
  LinkHeartbeat heartbeat;
  Clock::time_point lastScheduled{};  // keeps delayed replies in order

 private:
  bool ownsFd_;
  WireAssembler assembler_;
  std::vector<uint8_t> pending_;
};

}  // namespace devsim

#endif

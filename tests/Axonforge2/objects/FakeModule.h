#ifndef TESTS_OBJECTS_FAKEMODULE_H
#define TESTS_OBJECTS_FAKEMODULE_H

// A scripted device module on a loopback TCP port, speaking the link's wire framing (address,
// length, payload). It records every packet the host sends and answers through a handler the
// test supplies; tests may also push unsolicited packets (stream samples). Used where the
// exact bytes on the wire matter or where a device must misbehave in a controlled way.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"
#include "aLinkSpec.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

struct WirePacket {
  uint8_t address = 0;
  Bytes data;
  bool operator==(const WirePacket& other) const { return address == other.address && data == other.data; }
};

class FakeModule {
 public:
  // Answers one packet from the host; the replies returned are sent in order.
  using Handler = std::function<std::vector<WirePacket>(const WirePacket& request)>;

  explicit FakeModule(uint8_t address = 2) : address_(address) { thread_ = std::thread([this] { serve(); }); }
  ~FakeModule() {
    stop_ = true;
    thread_.join();
  }
  FakeModule(const FakeModule&) = delete;
  FakeModule& operator=(const FakeModule&) = delete;

  uint8_t address() const { return address_; }
  void setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }

  linkSpec spec() const {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x0F0F0F0F;
    spec.module = spec.router = address_;
    spec.ipAddress = LoopbackServer::Address();
    spec.ipPort = server_.port();
    return spec;
  }

  // Packets the host sent to module addresses (link-control packets left out).
  std::vector<WirePacket> received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  // Waits until at least count such packets have arrived.
  bool waitForReceived(size_t count, int timeoutMs = 2000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= count; });
  }
  void clearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }
  size_t addressQueries() const { return addressQueries_; }

  // Sends a packet to the host now, from the test's thread.
  bool send(const WirePacket& packet) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return connection_ >= 0 && LoopbackServer::SendAll(connection_, wire(packet));
  }
  bool connected() const { return connection_ >= 0; }

 private:
  static std::string wire(const WirePacket& packet) {
    std::string bytes{char(packet.address), char(packet.data.size())};
    bytes.append(packet.data.begin(), packet.data.end());
    return bytes;
  }

  void serve() {
    while (!stop_ && connection_ < 0) {
      const int fd = server_.Accept(20);
      if (fd >= 0) connection_ = fd;
    }
    std::string pending;
    while (!stop_) {
      if (!LoopbackServer::WaitFor(connection_, POLLIN, 20)) continue;
      char buffer[4096];
      const ssize_t got = recv(connection_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      pending.append(buffer, static_cast<size_t>(got));
      while (pending.size() >= 2 && pending.size() >= 2u + uint8_t(pending[1])) {
        WirePacket packet{uint8_t(pending[0]), Bytes(pending.begin() + 2, pending.begin() + 2 + uint8_t(pending[1]))};
        pending.erase(0, 2 + packet.data.size());
        dispatch(packet);
      }
    }
  }

  void dispatch(const WirePacket& packet) {
    if (packet.address == 0xAF) return;  // route switch
    if (packet.address == 0xAD) {        // sync request / address query
      ++addressQueries_;
      send({address_, {}});
      return;
    }
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(packet);
      handler = handler_;
    }
    arrived_.notify_all();
    if (!handler) return;
    for (const WirePacket& reply : handler(packet)) send(reply);
  }

  const uint8_t address_;
  LoopbackServer server_;
  std::atomic<int> connection_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<size_t> addressQueries_{0};
  mutable std::mutex mutex_;
  std::mutex sendMutex_;
  std::condition_variable arrived_;
  Handler handler_;
  std::vector<WirePacket> received_;
  std::thread thread_;
};

}  // namespace linktest

#endif

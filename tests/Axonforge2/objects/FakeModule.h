#ifndef TESTS_OBJECTS_FAKEMODULE_H
#define TESTS_OBJECTS_FAKEMODULE_H

// A scripted device module on a loopback TCP port, speaking the link's wire framing (address,
// length, payload). It records the packets the host sends to module addresses, answers the
// address query, and answers everything else through a handler the test supplies; tests may
// also push unsolicited packets. Used where the exact bytes on the wire matter or a device must
// misbehave in a controlled way.

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
  using Handler = std::function<std::vector<WirePacket>(const WirePacket& request)>;

  explicit FakeModule(uint8_t address = 2) : address_(address) { thread_ = std::thread([this] { serve(); }); }
  ~FakeModule() {
    stop_ = true;
    thread_.join();
  }

  uint8_t address() const { return address_; }
  void setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }
  linkSpec spec() const {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.module = spec.router = address_;
    spec.ipAddress = LoopbackServer::Address();
    spec.ipPort = server_.port();
    return spec;
  }

  // Waits until at least count packets have arrived since the last clear; returns them all.
  std::vector<WirePacket> received(size_t count = 0, int timeoutMs = 2000) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= count; });
    return received_;
  }
  void clearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }
  // Waits (up to 2 s) for the host's connection to be accepted: a link may be up before the
  // module's thread got round to it.
  bool send(const WirePacket& packet) {
    std::string bytes{char(packet.address), char(packet.data.size())};
    bytes.append(packet.data.begin(), packet.data.end());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (connection_ < 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard<std::mutex> lock(sendMutex_);
    return connection_ >= 0 && LoopbackServer::SendAll(connection_, bytes);
  }

 private:
  void serve() {
    while (!stop_ && connection_ < 0) connection_ = server_.Accept(20);
    std::string pending;
    char buffer[4096];
    while (!stop_) {
      if (!LoopbackServer::WaitFor(connection_, POLLIN, 20)) continue;
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
    if (packet.address == 0xAD) {        // address query: an empty packet from the module
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
    if (handler) {
      for (const WirePacket& reply : handler(packet)) send(reply);
    }
  }

  const uint8_t address_;
  LoopbackServer server_;
  std::atomic<int> connection_{-1};
  std::atomic<bool> stop_{false};
  std::mutex mutex_, sendMutex_;
  std::condition_variable arrived_;
  Handler handler_;
  std::vector<WirePacket> received_;
  std::thread thread_;
};

}  // namespace linktest

#endif

// The link server's broker: takes client requests from the client socket, keeps pooled bytes
// writes together, holds the conversation with the device (aServerSync.h) and routes its
// replies, and passes stream frames to the clients that enabled streaming.

#include <string.h>

#include <string>
#include <vector>

#include "aLink.h"
#include "aServerFrame.h"
#include "aServerPackets.h"
#include "aServerPools.h"
#include "aServerRecord.h"
#include "aServerSync.h"
#include "aTime.h"

namespace {

constexpr int kWaitMs = 1000;

uint8_t sAcceptAll(const aPacket*, void*) { return 1; }

// A client's identity as the key it is known by.
std::string sIdentity(zframe_t* frame) {
  return std::string(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

class Broker {
 public:
  explicit Broker(aServer& server) : m_server(server) {}
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  void onStreamFrame() {
    zframe_t* frame = zframe_recv(m_server.streamIn);
    if (!frame) return;
    for (const std::string& client : m_subscribers) send(client, zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
  }

  // A device packet the stream filter passed on: perhaps the answer awaited.
  void onDevicePacket() {
    zframe_t* frame = zframe_recv(m_server.replyIn);
    aPacket* packet = nullptr;
    if (frame && aServerFrame_ToPacket(zframe_data(frame), zframe_size(frame), &packet) == aErrNone) {
      m_sync.onDevicePacket(*packet, aTime_GetMSTicks());
    }
    aPacket_Destroy(&packet);
    zframe_destroy(&frame);
  }

  // [identity][packet frame] from a client; anything else is dropped.
  void onRequest() {
    zmsg_t* message = zmsg_recv(m_server.frontend);
    if (!message) return;
    zframe_t* identity = zmsg_first(message);
    zframe_t* payload = zmsg_next(message);
    aPacket* packet = nullptr;
    if (zmsg_size(message) == 2 &&
        aServerFrame_ToPacket(zframe_data(payload), zframe_size(payload), &packet) == aErrNone) {
      handle(sIdentity(identity), *packet);
    }
    aPacket_Destroy(&packet);
    zmsg_destroy(&message);
  }

  void afterWakeUp() {
    const uint32_t now = aTime_GetMSTicks();
    m_pools.expire(now);
    m_sync.tick(now);
    aServerDiscovery_Tick(m_server);
  }

  // How long the next wait may last: the poll interval, or less while an answer is awaited.
  int waitMs() const {
    const int deadline = m_sync.msUntilDeadline(aTime_GetMSTicks());
    return deadline >= 0 && deadline < kWaitMs ? deadline : kWaitMs;
  }

 private:
  void handle(const std::string& client, const aPacket& packet) {
    if (aServerPacket_IsStreamEnable(&packet)) subscribe(client);
    std::vector<aServerPacketRef> write;
    switch (m_pools.offer(client, packet, aTime_GetMSTicks(), &write)) {
      case aServerPools::kHeld:
        return;
      case aServerPools::kPassOn:
        if (aServerPacket_IsBlacklisted(&packet)) return;
        write.emplace_back(aPacket_CreateWithData(packet.address, packet.dataSize, packet.data));
        if (!write.back()) return;
        forward(client, std::move(write));
        return;
      case aServerPools::kComplete:
        forward(client, std::move(write));
        return;
    }
  }

  void subscribe(const std::string& client) {
    for (const std::string& known : m_subscribers)
      if (known == client) return;
    m_subscribers.push_back(client);
  }

  void forward(const std::string& client, std::vector<aServerPacketRef> packets) {
    // The filter takes every packet but heartbeats: whatever the link queued is nobody's.
    aLink_DrainPackets(m_server.linkId, sAcceptAll, nullptr);
    m_sync.request(client, m_server.generation, std::move(packets), aTime_GetMSTicks());
  }

  // A request's replies go to its client unless a flush came after it was made.
  void reply(aServerSync::Replies& replies) {
    if (replies.generation != m_server.generation) return;
    for (const aServerPacketRef& packet : replies.packets) {
      uint8_t frame[aPACKET_MAX_WIRE];
      send(replies.client, frame, aServerFrame_FromPacket(packet.get(), frame));
    }
  }

  // [identity][payload] to one client; a client that is gone is skipped by the socket.
  void send(const std::string& client, const void* data, size_t size) {
    zmsg_t* message = zmsg_new();
    if (!message) return;
    zmsg_addmem(message, client.data(), client.size());
    zmsg_addmem(message, data, size);
    if (zmsg_send(&message, m_server.frontend) != 0) zmsg_destroy(&message);
  }

  aServer& m_server;
  aServerPools m_pools;
  aServerSync m_sync{[this](const aPacket& packet) { return aLink_PutPacket(m_server.linkId, &packet) == aErrNone; },
                     [this](aServerSync::Replies& replies) { reply(replies); }};
  std::vector<std::string> m_subscribers;  // kept until the server stops
};

}  // namespace

void aServer_BrokerTask(zsock_t* pipe, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  Broker broker(server);
  zpoller_t* poller = zpoller_new(pipe, server.replyIn, server.frontend, server.streamIn, nullptr);
  if (poller && server.beacon) zpoller_add(poller, server.beacon);
  zsock_signal(pipe, poller ? 0 : 1);
  if (poller) zpoller_set_nonstop(poller, true);
  while (poller) {
    void* which = zpoller_wait(poller, broker.waitMs());
    broker.afterWakeUp();
    if (which == pipe) break;  // $TERM
    if (which == server.streamIn) broker.onStreamFrame();
    if (which == server.replyIn) broker.onDevicePacket();
    if (which == server.frontend) broker.onRequest();
    if (server.beacon && which == server.beacon) aServerDiscovery_OnBeacon(server);
  }
  zpoller_destroy(&poller);
  aServer_WorkerEnded(server);
}

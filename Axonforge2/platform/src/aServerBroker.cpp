// The link server's broker: takes client requests from the client socket, keeps pooled bytes
// writes together, hands requests to the sync worker and routes its replies, and passes
// stream frames to the clients that enabled streaming.

#include <string.h>

#include <string>
#include <vector>

#include "aServerFrame.h"
#include "aServerPackets.h"
#include "aServerPools.h"
#include "aServerRecord.h"
#include "aTime.h"

namespace {

constexpr int kWaitMs = 1000;

// A client's identity as the key it is known by.
std::string sIdentity(zframe_t* frame) {
  return std::string(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

class Broker {
 public:
  explicit Broker(aServer& server) : m_server(server) {}

  void onStreamFrame() {
    zframe_t* frame = zframe_recv(m_server.streamIn);
    if (!frame) return;
    for (const std::string& client : m_subscribers) send(client, zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
  }

  // [identity][generation][replies...] from the sync worker.
  void onReplies() {
    zmsg_t* message = zmsg_recv(m_server.syncBroker);
    if (!message) return;
    zframe_t* identity = zmsg_pop(message);
    zframe_t* generation = zmsg_pop(message);
    if (identity && generation && zframe_size(generation) == sizeof(uint32_t) &&
        memcmp(zframe_data(generation), &m_generation, sizeof m_generation) == 0) {
      const std::string client = sIdentity(identity);
      for (zframe_t* reply = zmsg_first(message); reply; reply = zmsg_next(message)) {
        send(client, zframe_data(reply), zframe_size(reply));
      }
    }
    zframe_destroy(&identity);
    zframe_destroy(&generation);
    zmsg_destroy(&message);
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
    m_generation = m_server.generation;
    m_pools.expire(aTime_GetMSTicks());
    aServerDiscovery_Tick(m_server);
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
        {
          const aPacket* single = &packet;
          forward(client, &single, 1);
        }
        return;
      case aServerPools::kComplete: {
        std::vector<const aPacket*> packets;
        for (const aServerPacketRef& chunk : write) packets.push_back(chunk.get());
        forward(client, packets.data(), packets.size());
        return;
      }
    }
  }

  void subscribe(const std::string& client) {
    for (const std::string& known : m_subscribers)
      if (known == client) return;
    m_subscribers.push_back(client);
  }

  // One request message to the sync worker; a send that fails is dropped (no retries here).
  void forward(const std::string& client, const aPacket* const* packets, size_t count) {
    m_generation = m_server.generation;
    zmsg_t* message = zmsg_new();
    if (!message) return;
    zmsg_addmem(message, client.data(), client.size());
    zmsg_addmem(message, &m_generation, sizeof m_generation);
    for (size_t i = 0; i < count; ++i) {
      uint8_t frame[aPACKET_MAX_WIRE];
      zmsg_addmem(message, frame, aServerFrame_FromPacket(packets[i], frame));
    }
    if (zmsg_send(&message, m_server.syncBroker) != 0) zmsg_destroy(&message);
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
  uint32_t m_generation = 0;
  aServerPools m_pools;
  std::vector<std::string> m_subscribers;  // kept until the server stops
};

}  // namespace

void aServer_BrokerTask(zsock_t* pipe, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  Broker broker(server);
  zpoller_t* poller = zpoller_new(pipe, server.syncBroker, server.frontend, server.streamIn, nullptr);
  if (poller && server.beacon) zpoller_add(poller, server.beacon);
  zsock_signal(pipe, poller ? 0 : 1);
  if (poller) zpoller_set_nonstop(poller, true);
  while (poller) {
    void* which = zpoller_wait(poller, kWaitMs);
    broker.afterWakeUp();
    if (which == pipe) break;  // $TERM
    if (which == server.streamIn) broker.onStreamFrame();
    if (which == server.syncBroker) broker.onReplies();
    if (which == server.frontend) broker.onRequest();
    if (server.beacon && which == server.beacon) aServerDiscovery_OnBeacon(server);
  }
  zpoller_destroy(&poller);
  aServer_WorkerEnded(server);
}

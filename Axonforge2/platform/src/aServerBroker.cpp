// The link server's broker: takes client requests from the client socket, keeps pooled bytes
// writes together, starts each request's conversation with the device (aServerSync.h), and
// passes stream frames to the clients that enabled streaming. The device's answers go to
// their clients from the link's receiving thread (the stream filter), under the client lock.

#include <errno.h>

#include <string>
#include <vector>

#include "aServerFrame.h"
#include "aServerPackets.h"
#include "aServerPools.h"
#include "aServerRecord.h"
#include "aSharedSocket.h"
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
    std::lock_guard<std::mutex> hold(m_server.clientLock);
    for (const std::string& client : m_subscribers) aServer_SendToClient(m_server, client, zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
  }

  // Every request waiting on the client socket, each under the lock of its own so that the
  // device's answers are not held up behind a burst of requests.
  void serveRequests() {
    for (;;) {
      std::lock_guard<std::mutex> hold(m_server.clientLock);
      if (!aSharedSocket_HasInput(m_server.frontend)) return;
      onRequest();
    }
  }

  void afterWakeUp() {
    const uint32_t now = aTime_GetMSTicks();
    m_pools.expire(now);
    {
      std::lock_guard<std::mutex> hold(m_server.clientLock);
      m_server.conversation->tick(now);
    }
    aServerDiscovery_Tick(m_server);
  }

  // How long the next wait may last: the poll interval, or less while an answer is awaited.
  int waitMs() {
    std::lock_guard<std::mutex> hold(m_server.clientLock);
    const int deadline = m_server.conversation->msUntilDeadline(aTime_GetMSTicks());
    return deadline >= 0 && deadline < kWaitMs ? deadline : kWaitMs;
  }

 private:
  // [identity][packet frame] from a client; anything else is dropped. Under the client lock.
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

  void handle(const std::string& client, const aPacket& packet) {
    if (aServerPacket_IsStreamEnable(&packet)) subscribe(client);
    std::vector<aServerPacketRef> write;
    switch (m_pools.offer(client, packet, aTime_GetMSTicks(), &write)) {
      case aServerPools::kHeld:
        return;
      case aServerPools::kPassOn:
        if (aServerPacket_IsBlacklisted(&packet)) return;
        write.emplace_back(aPacket_Copy(&packet));
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
    m_server.conversation->request(client, m_server.generation, std::move(packets), aTime_GetMSTicks());
  }

  aServer& m_server;
  aServerPools m_pools;
  std::vector<std::string> m_subscribers;  // kept until the server stops
};

}  // namespace

void aServer_SendToClient(aServer& server, const std::string& client, const void* data, size_t size) {
  zmsg_t* message = zmsg_new();
  if (!message) return;
  zmsg_addmem(message, client.data(), client.size());
  zmsg_addmem(message, data, size);
  // A client that is gone is skipped by the socket.
  if (zmsg_send(&message, server.frontend) != 0) zmsg_destroy(&message);
}

void aServer_Reply(aServer& server, aServerSync::Replies& replies) {
  if (replies.generation != server.generation) return;  // a flush came after the request
  for (const aServerPacketRef& packet : replies.packets) {
    uint8_t frame[aPACKET_MAX_WIRE];
    aServer_SendToClient(server, replies.client, frame, aServerFrame_FromPacket(packet.get(), frame));
  }
}

void aServer_BrokerTask(zsock_t* pipe, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  Broker broker(server);
  int frontendFd = -1;
  {
    std::lock_guard<std::mutex> hold(server.clientLock);
    frontendFd = zsock_fd(server.frontend);
  }
  // The client socket is watched through its notification descriptor, so that the filter may
  // use the socket while the broker waits; the broker looks for requests before every wait.
  enum { kPipe, kStream, kFrontend, kWake, kBeacon, kItems };
  zmq_pollitem_t items[kItems] = {
      {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
      {zsock_resolve(server.streamIn), 0, ZMQ_POLLIN, 0},
      {nullptr, frontendFd, ZMQ_POLLIN, 0},
      {nullptr, server.wake, ZMQ_POLLIN, 0},
      {server.beacon ? zsock_resolve(server.beacon) : nullptr, 0, ZMQ_POLLIN, 0},
  };
  const int watched = server.beacon ? kItems : kBeacon;
  zsock_signal(pipe, 0);
  for (;;) {
    broker.serveRequests();
    const int ready = zmq_poll(items, watched, broker.waitMs());
    if (ready < 0 && errno != EINTR) break;  // the messaging layer is ending
    broker.afterWakeUp();
    if (ready <= 0) continue;
    if (items[kPipe].revents & ZMQ_POLLIN) break;  // $TERM
    if (items[kStream].revents & ZMQ_POLLIN) broker.onStreamFrame();
    if (items[kWake].revents & ZMQ_POLLIN) aSharedSocket_ClearWake(server.wake);
    if (watched == kItems && (items[kBeacon].revents & ZMQ_POLLIN)) aServerDiscovery_OnBeacon(server);
  }
  aServer_WorkerEnded(server);
}

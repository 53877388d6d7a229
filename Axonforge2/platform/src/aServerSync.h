#ifndef AXONFORGE2_ASERVERSYNC_H
#define AXONFORGE2_ASERVERSYNC_H

// The link server's conversation with the device: one client request at a time goes into the
// served link, packet by packet, and each packet the device answers waits up to the sync wait
// for its answer (and the packets that continue it) before the next goes in. Driven by the
// broker thread only, as events: a request, a device packet, a tick. Nothing here blocks, so
// the broker that owns the client socket also routes the replies, without a thread between
// the device and the client.
//
// A request's replies go out as one Replies record, once its last packet has been answered or
// its wait ran out; a request the device answers not at all yields none. Device packets that
// answer nothing awaited (late, unsolicited) are dropped: nobody's reply.

#include <stdint.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "aServerPools.h"

// How long a packet the device answers waits for each packet of its answer.
#define aSERVER_SYNC_WAIT_MS 2000

class aServerSync {
 public:
  struct Replies {
    std::string client;
    uint32_t generation = 0;
    std::vector<aServerPacketRef> packets;
  };
  using Sink = std::function<void(Replies&)>;
  // put: hands a packet to the link, false when the link would not take it (the rest of that
  // request is then dropped). sink: takes each request's replies. ticks as aTime_GetMSTicks.
  aServerSync(std::function<bool(const aPacket&)> put, Sink sink) : m_put(std::move(put)), m_sink(std::move(sink)) {}

  // A client's packets (a single packet or a whole pooled write) made in flush generation
  // generation; taken over.
  void request(const std::string& client, uint32_t generation, std::vector<aServerPacketRef> packets,
               uint32_t nowMs);
  void onDevicePacket(const aPacket& packet, uint32_t nowMs);
  // Ends a wait that ran out.
  void tick(uint32_t nowMs);
  // Milliseconds until the current wait runs out; -1 while nothing is awaited.
  int msUntilDeadline(uint32_t nowMs) const;

 private:
  struct Request {
    Replies replies;
    std::vector<aServerPacketRef> packets;
    size_t next = 0;
  };
  // Puts packets in until one awaits an answer or the queue is empty.
  void advance(uint32_t nowMs);

  std::function<bool(const aPacket&)> m_put;
  Sink m_sink;
  std::deque<Request> m_queue;  // the front one is in progress
  const aPacket* m_awaited = nullptr;
  uint32_t m_waitStartMs = 0;
};

#endif

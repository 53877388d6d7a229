#ifndef AXONFORGE2_ASERVERPOOLS_H
#define AXONFORGE2_ASERVERPOOLS_H

// The link server's UEI-bytes pools: the chunks of one client's multi-packet bytes write are
// held until its last chunk has come and then go to the device together, so that writes of
// different clients never interleave there. Used by the broker thread only.
//
// A pool opens with a full chunk of sequence number 0 that more chunks follow, takes each next
// sequence number (counting on from 127 to 0) of chunks for the same entity option, and
// completes with the first that is not a full continuing one; the client's other requests
// meanwhile pass on. A chunk out of sequence ends the pool (the write is broken; its
// client's wait for a reply runs out). A full continuing chunk with no pool to join is dropped:
// the device would never answer it. A pool that gets no chunk for kServerPoolLifetimeMs
// expires, and one that would grow beyond kServerPoolMaxChunks is dropped as broken: a client
// cannot make the server hold more than that for it, however fast it sends.

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aPacket.h"
#include "aUEI.h"

constexpr uint32_t kServerPoolLifetimeMs = 2000;
// Enough for a value of 64 KiB, the largest block the upgrade entity can ask for.
constexpr size_t kServerPoolMaxChunks = (UINT16_MAX + UEI_BYTES_CHUNK_MAX - 1) / UEI_BYTES_CHUNK_MAX + 1;

struct aServerPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using aServerPacketRef = std::unique_ptr<aPacket, aServerPacketDeleter>;

class aServerPools {
 public:
  enum Outcome {
    kPassOn,    // not part of a pooled write: the packet goes to the device as it is
    kHeld,      // taken into a pool, or dropped
    kComplete,  // the write is whole: *write holds its packets in order
  };
  // client: the client's identity. Packets taken are copied.
  Outcome offer(const std::string& client, const aPacket& packet, uint32_t nowMs,
                std::vector<aServerPacketRef>* write);
  // Drops the pools that got no chunk for the lifetime; ticks as aTime_GetMSTicks.
  void expire(uint32_t nowMs);
  size_t size() const { return m_pools.size(); }

 private:
  struct Pool {
    std::vector<aServerPacketRef> packets;  // the first holds the write's command, option, index
    uint8_t sequence = 0;  // of the last chunk taken
    uint32_t lastMs = 0;
  };
  Outcome open(const std::string& client, const aPacket& packet, uint32_t nowMs);

  std::map<std::string, Pool> m_pools;
};

#endif

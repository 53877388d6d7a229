#include "aServerPools.h"

#include <string.h>

#include "aServerPackets.h"
#include "aUEI.h"

namespace {

bool sSameEntityOption(const aPacket& a, const aPacket& b) {
  return a.address == b.address && memcmp(a.data, b.data, UEI_HEADER_SIZE) == 0;
}

}  // namespace

aServerPools::Outcome aServerPools::open(const std::string& client, const aPacket& packet, uint32_t nowMs) {
  if (!aServerPacket_IsContinuingChunk(&packet)) return kPassOn;
  if (aUEI_getBytesSequence(&packet) != 0) return kHeld;  // a continuation of nothing
  aServerPacketRef copy(aPacket_Copy(&packet));
  if (!copy) return kHeld;  // without memory the write is broken, as by a lost chunk
  Pool& pool = m_pools[client];
  pool.packets.clear();
  pool.packets.push_back(std::move(copy));
  pool.sequence = 0;
  pool.lastMs = nowMs;
  return kHeld;
}

aServerPools::Outcome aServerPools::offer(const std::string& client, const aPacket& packet, uint32_t nowMs,
                                          std::vector<aServerPacketRef>* write) {
  if (!aServerPacket_IsBytesChunk(&packet)) return kPassOn;
  auto found = m_pools.find(client);
  if (found == m_pools.end()) return open(client, packet, nowMs);
  Pool& pool = found->second;
  if (!sSameEntityOption(*pool.packets.front(), packet)) return kPassOn;
  const uint8_t expected = static_cast<uint8_t>((pool.sequence + 1) & UEI_BYTES_SEQUENCE_MASK);
  aServerPacketRef copy(aUEI_getBytesSequence(&packet) == expected ? aPacket_Copy(&packet) : nullptr);
  if (!copy) {
    m_pools.erase(found);
    return open(client, packet, nowMs);
  }
  const bool continues = aServerPacket_IsContinuingChunk(&packet);
  if (continues && pool.packets.size() + 1 >= kServerPoolMaxChunks) {
    m_pools.erase(found);
    return kHeld;
  }
  pool.packets.push_back(std::move(copy));
  pool.sequence = expected;
  pool.lastMs = nowMs;
  if (continues) return kHeld;
  *write = std::move(pool.packets);
  m_pools.erase(found);
  return kComplete;
}

void aServerPools::expire(uint32_t nowMs) {
  for (auto it = m_pools.begin(); it != m_pools.end();) {
    if (nowMs - it->second.lastMs > kServerPoolLifetimeMs) {
      it = m_pools.erase(it);
    } else {
      ++it;
    }
  }
}

#include "aServerSync.h"

#include "aServerPackets.h"
#include "aServerRecord.h"

void aServerSync::request(const std::string& client, uint32_t generation, std::vector<aServerPacketRef> packets,
                          uint32_t nowMs) {
  Request entry;
  entry.replies.client = client;
  entry.replies.generation = generation;
  entry.packets = std::move(packets);
  m_queue.push_back(std::move(entry));
  if (m_awaited == nullptr) advance(nowMs);
}

void aServerSync::onDevicePacket(const aPacket& packet, uint32_t nowMs) {
  if (m_awaited == nullptr || !aServerPacket_Answers(&packet, m_awaited)) return;
  aServerPacketRef reply(aPacket_CreateWithData(packet.address, packet.dataSize, packet.data));
  if (reply) m_queue.front().replies.packets.push_back(std::move(reply));
  // Each packet of a continued reply gets a wait of its own.
  m_waitStartMs = nowMs;
  if (aServerPacket_ReplyContinues(&packet)) return;
  m_awaited = nullptr;
  advance(nowMs);
}

void aServerSync::tick(uint32_t nowMs) {
  if (m_awaited == nullptr || nowMs - m_waitStartMs < aSERVER_SYNC_WAIT_MS) return;
  m_awaited = nullptr;
  advance(nowMs);
}

int aServerSync::msUntilDeadline(uint32_t nowMs) const {
  if (m_awaited == nullptr) return -1;
  const uint32_t waited = nowMs - m_waitStartMs;
  return waited >= aSERVER_SYNC_WAIT_MS ? 0 : int(aSERVER_SYNC_WAIT_MS - waited);
}

void aServerSync::advance(uint32_t nowMs) {
  while (!m_queue.empty()) {
    Request& current = m_queue.front();
    if (current.next < current.packets.size()) {
      const aPacket& packet = *current.packets[current.next++];
      if (!m_put(packet)) {
        current.next = current.packets.size();
      } else if (aServerPacket_IsResponseRequired(&packet)) {
        m_awaited = &packet;
        m_waitStartMs = nowMs;
        return;
      }
      continue;
    }
    if (!current.replies.packets.empty()) m_sink(current.replies);
    m_queue.pop_front();
  }
}

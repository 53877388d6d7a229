#include "aServerSync.h"

#include "aServerPackets.h"

namespace {

// The broker and the stream filter read the clock on threads of their own: a caller's "now"
// may lie a moment before the start of a wait that the other thread began. That is no time.
int32_t sWaited(uint32_t nowMs, uint32_t startMs) {
  const int32_t waited = int32_t(nowMs - startMs);
  return waited > 0 ? waited : 0;
}

}  // namespace

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
  aServerPacketRef reply(aPacket_Copy(&packet));
  if (reply) m_queue.front().replies.packets.push_back(std::move(reply));
  // Each packet of a continued reply gets a wait of its own.
  m_waitStartMs = nowMs;
  if (aServerPacket_ReplyContinues(&packet)) return;
  m_awaited = nullptr;
  advance(nowMs);
}

void aServerSync::tick(uint32_t nowMs) {
  if (m_awaited == nullptr || sWaited(nowMs, m_waitStartMs) < int32_t(aSERVER_SYNC_WAIT_MS)) return;
  m_awaited = nullptr;
  advance(nowMs);
}

int aServerSync::msUntilDeadline(uint32_t nowMs) const {
  if (m_awaited == nullptr) return -1;
  const int32_t waited = sWaited(nowMs, m_waitStartMs);
  return waited >= int32_t(aSERVER_SYNC_WAIT_MS) ? 0 : int(int32_t(aSERVER_SYNC_WAIT_MS) - waited);
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

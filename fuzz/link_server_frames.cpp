// Arbitrary client frames into the link server's own frame handling, as its broker does it:
// each frame is read as a packet, classified (stream enable, route switch, bytes chunk, answer
// wanted), offered to the UEI-bytes pools, and its packet written back as a frame; what the
// pools pass on goes into the conversation with the device, and frames marked as the device's
// are its packets. Input: frames as [client byte (bit 2: from the device)][time step byte]
// [length byte][that many bytes]. A frame must come back as the same bytes, a completed pooled
// write must be its client's chunks in sequence, and replies go only to clients that asked.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "aServerFrame.h"
#include "aServerPackets.h"
#include "aServerPools.h"
#include "aServerSync.h"
#include "aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aServerPools pools;
  uint32_t nowMs = 0;
  std::map<std::string, int> owed;  // requests made and not yet answered, per client
  bool linkTakes = true;
  aServerSync sync([&](const aPacket&) { return linkTakes; },
                   [&](aServerSync::Replies& replies) {
                     if (replies.packets.empty() || owed[replies.client]-- <= 0) __builtin_trap();
                   });
  aPacket* previous = nullptr;
  size_t pos = 0;
  while (pos + 3 <= size) {
    const uint8_t head = data[pos];
    const std::string client(1, static_cast<char>(head & 3));
    nowMs += data[pos + 1] * 16u;  // up to about 4 s between frames
    const size_t length = std::min<size_t>(data[pos + 2], size - pos - 3);
    const uint8_t* frame = data + pos + 3;
    pos += 3 + length;
    const bool fromDevice = (head & 4) != 0;
    linkTakes = (head & 8) == 0;  // bit 3: the link takes no packet
    pools.expire(nowMs);
    sync.tick(nowMs);
    if (sync.msUntilDeadline(nowMs) > int(aSERVER_SYNC_WAIT_MS)) __builtin_trap();

    aPacket* packet = nullptr;
    if (aServerFrame_ToPacket(frame, length, &packet) != aErrNone) {
      if (packet != nullptr) __builtin_trap();
      continue;
    }
    uint8_t back[aPACKET_MAX_WIRE];
    const size_t backSize = aServerFrame_FromPacket(packet, back);
    if (backSize != length || std::memcmp(back, frame, length) != 0) __builtin_trap();

    if (fromDevice) {
      sync.onDevicePacket(*packet, nowMs);
      aPacket_Destroy(&packet);
      continue;
    }
    aServerPacket_IsStreamEnable(packet);
    aServerPacket_IsBlacklisted(packet);
    aServerPacket_IsResponseRequired(packet);
    aServerPacket_ReplyContinues(packet);
    if (previous != nullptr) aServerPacket_Answers(packet, previous);
    std::vector<aServerPacketRef> write;
    const aServerPools::Outcome outcome = pools.offer(client, *packet, nowMs, &write);
    if (outcome == aServerPools::kComplete) {
      uint8_t sequence = 0;
      for (size_t i = 0; i < write.size(); ++i) {
        if (!aServerPacket_IsBytesChunk(write[i].get())) __builtin_trap();
        if (aUEI_getBytesSequence(write[i].get()) != sequence) __builtin_trap();
        sequence = (sequence + 1) & UEI_BYTES_SEQUENCE_MASK;
      }
      if (write.empty() || aServerPacket_IsContinuingChunk(write.back().get())) __builtin_trap();
    }
    if (outcome == aServerPools::kPassOn) write.emplace_back(aPacket_Copy(packet));
    if (outcome != aServerPools::kHeld) {
      ++owed[client];
      sync.request(client, 0, std::move(write), nowMs);
    }
    aPacket_Destroy(&previous);
    previous = packet;
  }
  aPacket_Destroy(&previous);
  return 0;
}

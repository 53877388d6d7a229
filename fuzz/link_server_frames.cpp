// Arbitrary client frames into the link server's own frame handling, as its broker does it:
// each frame is read as a packet, classified (stream enable, route switch, bytes chunk, answer
// wanted), offered to the UEI-bytes pools, and its packet written back as a frame. Input: frames
// as [client byte][time step byte][length byte][that many bytes]. A frame must come back as the
// same bytes, and a completed pooled write must be its client's chunks in sequence.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "aServerFrame.h"
#include "aServerPackets.h"
#include "aServerPools.h"
#include "aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aServerPools pools;
  uint32_t nowMs = 0;
  aPacket* previous = nullptr;
  size_t pos = 0;
  while (pos + 3 <= size) {
    const std::string client(1, static_cast<char>(data[pos] & 3));
    nowMs += data[pos + 1] * 16u;  // up to about 4 s between frames
    const size_t length = std::min<size_t>(data[pos + 2], size - pos - 3);
    const uint8_t* frame = data + pos + 3;
    pos += 3 + length;
    pools.expire(nowMs);

    aPacket* packet = nullptr;
    if (aServerFrame_ToPacket(frame, length, &packet) != aErrNone) {
      if (packet != nullptr) __builtin_trap();
      continue;
    }
    uint8_t back[aPACKET_MAX_WIRE];
    const size_t backSize = aServerFrame_FromPacket(packet, back);
    if (backSize != length || std::memcmp(back, frame, length) != 0) __builtin_trap();

    aServerPacket_IsStreamEnable(packet);
    aServerPacket_IsBlacklisted(packet);
    aServerPacket_IsResponseRequired(packet);
    aServerPacket_ReplyContinues(packet);
    if (previous != nullptr) aServerPacket_Answers(packet, previous);
    std::vector<aServerPacketRef> write;
    if (pools.offer(client, *packet, nowMs, &write) == aServerPools::kComplete) {
      uint8_t sequence = 0;
      for (size_t i = 0; i < write.size(); ++i) {
        if (!aServerPacket_IsBytesChunk(write[i].get())) __builtin_trap();
        if (aUEI_getBytesSequence(write[i].get()) != sequence) __builtin_trap();
        sequence = (sequence + 1) & UEI_BYTES_SEQUENCE_MASK;
      }
      if (write.empty() || aServerPacket_IsContinuingChunk(write.back().get())) __builtin_trap();
    }
    aPacket_Destroy(&previous);
    previous = packet;
  }
  aPacket_Destroy(&previous);
  return 0;
}

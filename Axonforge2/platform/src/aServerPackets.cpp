#include "aServerPackets.h"

#include "aLink.h"
#include "aUEI.h"

namespace {

constexpr uint8_t kUpgradeCommand = 95;
constexpr uint8_t kStreamEnableSet = UEI_OPTION_SET | UEI_STREAM_ENABLE;
constexpr uint8_t kStreamEnableLength = UEI_SIZE_INT;

bool sContinuesFull(const aPacket* packet) {
  return aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

}  // namespace

bool aServerPacket_IsBytesChunk(const aPacket* packet) {
  if (packet->dataSize <= UEI_HEADER_SIZE) return false;
  if ((packet->data[1] & UEI_OPTION_DIRECTION_MASK) != UEI_OPTION_SET) return false;
  return aUEI_isUEIPayload(packet) || packet->data[0] == kUpgradeCommand;
}

bool aServerPacket_IsContinuingChunk(const aPacket* packet) {
  return aServerPacket_IsBytesChunk(packet) && sContinuesFull(packet);
}

bool aServerPacket_ReplyContinues(const aPacket* packet) {
  return packet->dataSize > UEI_HEADER_SIZE && aUEI_isUEIPayload(packet) && sContinuesFull(packet);
}

bool aServerPacket_IsResponseRequired(const aPacket* packet) {
  return packet->address != aLINK_ROUTE_ADDRESS && !aServerPacket_IsContinuingChunk(packet);
}

bool aServerPacket_IsBlacklisted(const aPacket* packet) {
  return packet->address == aLINK_ROUTE_ADDRESS && packet->dataSize == 1;
}

bool aServerPacket_IsStreamEnable(const aPacket* packet) {
  return packet->dataSize == kStreamEnableLength && packet->data[0] == UEI_STREAM_COMMAND &&
         packet->data[1] == kStreamEnableSet;
}

bool aServerPacket_Answers(const aPacket* reply, const aPacket* request) {
  if (request->address == aLINK_SYNC_ADDRESS) return reply->dataSize == 0;
  if (reply->address != request->address) return false;
  return request->dataSize == 0 || (reply->dataSize > 0 && reply->data[0] == request->data[0]);
}

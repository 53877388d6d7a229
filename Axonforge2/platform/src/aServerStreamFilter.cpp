// The link server's stream filter, on the served link's receiving thread: stream samples go to
// the stream subscribers, several to a frame, and every other packet but a heartbeat straight
// to the broker, which matches it to the request awaiting an answer.

#include "aServerFrame.h"
#include "aServerRecord.h"
#include "aUEI.h"

namespace {

bool sIsHeartbeat(const aPacket* packet) { return packet->dataSize == 2 && packet->data[0] == 0; }

}  // namespace

uint8_t aServer_StreamingFilter(const aPacket* packet, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  const bool sample = aUEI_isStreamPacket(packet);
  const bool heartbeat = sIsHeartbeat(packet);
  if (!sample && !heartbeat) {
    uint8_t bytes[aPACKET_MAX_WIRE];
    zframe_t* frame = zframe_new(bytes, aServerFrame_FromPacket(packet, bytes));
    if (frame && zframe_send(&frame, server.replyOut, ZFRAME_DONTWAIT) != 0) zframe_destroy(&frame);
    return 1;
  }
  if (sample) server.streamFill += aServerFrame_FromPacket(packet, server.streamBuffer + server.streamFill);
  // A heartbeat comes at least every few seconds: samples never wait longer than that.
  if ((heartbeat || server.streamFill > aSERVER_STREAM_FLUSH_FILL) && server.streamFill > 0) {
    zframe_t* frame = zframe_new(server.streamBuffer, server.streamFill);
    if (frame && zframe_send(&frame, server.streamOut, ZFRAME_DONTWAIT) != 0) zframe_destroy(&frame);
    server.streamFill = 0;
  }
  return sample ? 1 : 0;
}

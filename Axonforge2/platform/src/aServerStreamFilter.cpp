// The link server's stream filter, on the served link's receiving thread: stream samples go to
// the stream subscribers, several to a frame, and every other packet but a heartbeat to the
// conversation with the device, which sends an awaited answer on to its client at once.

#include "aServerFrame.h"
#include "aServerRecord.h"
#include "aSharedSocket.h"
#include "aTime.h"
#include "aUEI.h"

namespace {

bool sIsHeartbeat(const aPacket* packet) { return packet->dataSize == 2 && packet->data[0] == 0; }

}  // namespace

uint8_t aServer_StreamingFilter(const aPacket* packet, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  const bool sample = aUEI_isStreamPacket(packet);
  const bool heartbeat = sIsHeartbeat(packet);
  if (!sample && !heartbeat) {
    std::lock_guard<std::mutex> hold(server.clientLock);
    server.conversation->onDevicePacket(*packet, aTime_GetMSTicks());
    aSharedSocket_WakeIfInput(server.frontend, server.wake);
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

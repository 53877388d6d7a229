// The link server's sync worker: one request at a time into the served link, and the device's
// answer back to the broker under the requesting client's identity.

#include "aLink.h"
#include "aServerFrame.h"
#include "aServerPackets.h"
#include "aServerRecord.h"
#include "aTime.h"

namespace {

constexpr int kWaitMs = 1000;
// The wait for an answer looks at the stop flag at least this often.
constexpr uint32_t kAnswerSliceMs = 100;
constexpr uint32_t kNotRunningPauseMs = 10;

uint8_t sAcceptAll(const aPacket*, void*) { return 1; }

uint8_t sAnswers(const aPacket* packet, void* request) {
  return aServerPacket_Answers(packet, static_cast<const aPacket*>(request));
}

// The first packet from the device that answers request, within the sync wait; null when none
// came or the server stops. Packets that answer nothing stay queued until the next request.
aPacket* sAwaitAnswer(aServer& server, const aPacket& request) {
  const uint32_t start = aTime_GetMSTicks();
  while (!server.stopping && aTime_GetMSTicks() - start < aSERVER_SYNC_WAIT_MS) {
    const uint32_t sliceStart = aTime_GetMSTicks();
    aPacket* answer = aLink_AwaitFirst(server.linkId, sAnswers, const_cast<aPacket*>(&request), kAnswerSliceMs);
    if (answer) return answer;
    // A link out of step ends each wait at once; do not spin on it.
    if (aTime_GetMSTicks() - sliceStart < kNotRunningPauseMs) aTime_MSSleep(kNotRunningPauseMs);
  }
  return nullptr;
}

// Appends the answer to request, and the packets that continue it, to replies.
void sCollect(aServer& server, const aPacket& request, zmsg_t* replies) {
  for (aPacket* answer = sAwaitAnswer(server, request); answer; answer = sAwaitAnswer(server, request)) {
    uint8_t frame[aPACKET_MAX_WIRE];
    zmsg_addmem(replies, frame, aServerFrame_FromPacket(answer, frame));
    const bool more = aServerPacket_ReplyContinues(answer);
    aPacket_Destroy(&answer);
    if (!more) return;
  }
}

// [identity][generation][packets...]: the packets go into the link in order; the replies of
// those the device answers go back as [identity][generation][replies...], or nothing at all.
void sServe(aServer& server, zmsg_t* request) {
  zframe_t* identity = zmsg_pop(request);
  zframe_t* generation = zmsg_pop(request);
  zmsg_t* replies = identity && generation ? zmsg_new() : nullptr;
  if (replies) {
    zmsg_append(replies, &identity);
    zmsg_append(replies, &generation);
    // Late answers to earlier requests are nobody's now.
    aLink_DrainPackets(server.linkId, sAcceptAll, nullptr);
  }
  bool sent = replies != nullptr;
  for (zframe_t* frame = zmsg_first(request); sent && frame; frame = zmsg_next(request)) {
    aPacket* packet = nullptr;
    if (aServerFrame_ToPacket(zframe_data(frame), zframe_size(frame), &packet) != aErrNone) continue;
    sent = aLink_PutPacket(server.linkId, packet) == aErrNone;
    if (sent && aServerPacket_IsResponseRequired(packet)) sCollect(server, *packet, replies);
    aPacket_Destroy(&packet);
  }
  if (replies && zmsg_size(replies) > 2) {
    if (zmsg_send(&replies, server.syncWorker) != 0) zmsg_destroy(&replies);
  }
  zmsg_destroy(&replies);
  zframe_destroy(&identity);
  zframe_destroy(&generation);
}

}  // namespace

void aServer_SyncTask(zsock_t* pipe, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  zpoller_t* poller = zpoller_new(pipe, server.syncWorker, nullptr);
  zsock_signal(pipe, poller ? 0 : 1);
  if (poller) zpoller_set_nonstop(poller, true);
  while (poller) {
    void* which = zpoller_wait(poller, kWaitMs);
    if (which == pipe) break;  // $TERM
    if (which != server.syncWorker) continue;
    zmsg_t* request = zmsg_recv(server.syncWorker);
    if (request) sServe(server, request);
    zmsg_destroy(&request);
  }
  zpoller_destroy(&poller);
  aServer_WorkerEnded(server);
}

#ifndef AXONFORGE2_ASERVERRECORD_H
#define AXONFORGE2_ASERVERRECORD_H

// The state of one link server (aServer.h) and the entry points of its parts. Internal to the
// server.
//
// The conversation with the device (aServerSync.h) holds each request with its client's
// identity and the flush generation it was made in until the device has answered it. A reply
// thus always names its client: none can reach another client, whatever the device leaves
// unanswered or sends unasked.
//
// The client socket and the conversation are shared by the broker, which starts requests, and
// the stream filter, which hands each answer to its client and puts the next request in, both
// under clientLock: an answer reaches the client without waking another thread of the server.

#include <czmq.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "aPacket.h"
#include "aServer.h"
#include "aServerSync.h"

#define aSERVER_STREAM_BUFFER_SIZE 4096
// A stream frame is sent once it holds more than this, so that one more packet still fits.
#define aSERVER_STREAM_FLUSH_FILL (aSERVER_STREAM_BUFFER_SIZE - aPACKET_MAX_WIRE - 1)

struct aServer {
  uint32_t linkId = 0;
  uint32_t serialNumber = 0;
  bool localOnly = false;
  uint32_t networkInterface = 0;  // IPv4, network byte order
  uint16_t port = 0;
  std::atomic<uint8_t> model{0};  // 0: discovery stays silent
  std::atomic<uint8_t> moduleAddress{0};
  // Requests made before the last FlushFIFO get no reply.
  std::atomic<uint32_t> generation{0};
  // Each worker counts itself out as the last thing it does, and the stop sequence reads it
  // once the workers are gone: CZMQ's own end-of-actor handshake runs through its sockets, and
  // this keeps the order of a worker's last steps and the record's release plain to see.
  std::atomic<int> workersEnded{0};

  std::mutex clientLock;
  zsock_t* frontend = nullptr;  // ROUTER to the clients; under clientLock once the broker runs
  std::unique_ptr<aServerSync> conversation;  // under clientLock
  int wake = -1;  // eventfd: the filter tells the broker that requests wait on the client socket
  zsock_t* streamIn = nullptr;    // stream frames from the filter: broker
  zsock_t* streamOut = nullptr;   // the stream filter on the link's receiving thread
  zactor_t* broker = nullptr;
  zactor_t* responder = nullptr;  // multicast responder (not in beacon mode)
  zactor_t* beacon = nullptr;     // beacon (beacon mode); read by the broker

  bool beaconMode = false;
  uint32_t beaconHost = 0;  // address that discovery answers advertise, network byte order
  // Broker only: beacon answers are published for a while after each request.
  bool publishing = false;
  uint32_t publishStart = 0;

  // The stream filter's own.
  uint8_t streamBuffer[aSERVER_STREAM_BUFFER_SIZE];
  uint16_t streamFill = 0;
};

// The broker's actor body; the argument is the server. Ends with aServer_WorkerEnded.
void aServer_BrokerTask(zsock_t* pipe, void* server);
// Under clientLock: [identity][payload] to one client, and a request's replies to its client
// unless a flush came after the request. After using the client socket, the filter wakes the
// broker when requests wait (aSharedSocket.h).
void aServer_SendToClient(aServer& server, const std::string& client, const void* data, size_t size);
void aServer_Reply(aServer& server, aServerSync::Replies& replies);
inline void aServer_WorkerEnded(aServer& server) { server.workersEnded.fetch_add(1, std::memory_order_release); }
// Runs on the served link's receiving thread for every packet: takes stream samples into
// stream frames for the subscribers (a heartbeat or a full buffer sends the frame on), leaves
// heartbeats to the link, which answers them, and gives every other packet to the
// conversation with the device.
uint8_t aServer_StreamingFilter(const aPacket* packet, void* server);

// Discovery: chooses the interface and starts the beacon or the multicast responder (false on
// failure), answers a beacon request (broker), and stops the discovery worker.
bool aServerDiscovery_Start(aServer& server);
void aServerDiscovery_OnBeacon(aServer& server);
void aServerDiscovery_Tick(aServer& server);
void aServerDiscovery_Stop(aServer& server);

#endif

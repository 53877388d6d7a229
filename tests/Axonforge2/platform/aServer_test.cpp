// A link server over a module on the simulated USB bus (device simulator in-process), driven by
// raw DEALER clients written from the server's frame protocol. Inside private network
// namespaces: the server's discovery joins multicast groups.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CollectedSpecs.h"
#include "DevSim.h"
#include "FaultPlan.h"
#include "ModuleSpec.h"
#include "Netns.h"
#include "Polling.h"
#include "StreamSampler.h"
#include "TempDir.h"
#include "aDiscovery.h"
#include "aLink.h"
#include "aServer.h"
#include "aServerPools.h"
#include "aServerSync.h"

namespace {

constexpr uint32_t kSerial = 0x5E4F0001;
constexpr uint8_t kModel = 23;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kSystem = 3;
constexpr uint8_t kEcho = 23;
constexpr uint8_t kNameOption = 32;  // a bytes value of the system entity
constexpr uint8_t kLedOption = 42;   // a byte value of the system entity
constexpr int kClients = 8;
constexpr int kReplyWaitMs = 5000;   // longer than one unanswered request holds the server up

using Frame = std::string;
using Bytes = std::vector<uint8_t>;

Frame PacketFrame(uint8_t address, const Bytes& data) {
  Frame frame{char(address), char(data.size())};
  frame.append(data.begin(), data.end());
  return frame;
}

// The packet frames that a stream frame holds end to end; empty when it is not made of them.
std::vector<Frame> SplitPackets(const Frame& stream) {
  std::vector<Frame> packets;
  for (size_t at = 0; at < stream.size();) {
    if (at + 2 > stream.size() || at + 2 + uint8_t(stream[at + 1]) > stream.size()) return {};
    packets.push_back(stream.substr(at, 2 + uint8_t(stream[at + 1])));
    at += packets.back().size();
  }
  return packets;
}

Frame Echo(int client, int n) { return PacketFrame(kAddress, {kEcho, uint8_t(client), uint8_t(n >> 8), uint8_t(n), 0x5A}); }
Frame GetSerial() { return PacketFrame(kAddress, {kSystem, 0x40 | 9, 0x20}); }
Frame SetLed(uint8_t value) { return PacketFrame(kAddress, {kSystem, 0x80 | kLedOption, 0x20, value}); }
Frame GetName() { return PacketFrame(kAddress, {kSystem, 0x40 | kNameOption, 0x20}); }

// The chunk packets of a bytes write of the name, as a Link sends them.
std::vector<Frame> NameWrite(const Bytes& value) {
  std::vector<Frame> chunks;
  size_t offset = 0;
  do {
    const size_t n = std::min<size_t>(24, value.size() - offset);
    Bytes data = {kSystem, 0x80 | kNameOption, 0x20};
    data.insert(data.end(), value.begin() + offset, value.begin() + offset + n);
    offset += n;
    data.push_back(uint8_t((chunks.size() & 0x7F) | (offset < value.size() ? 0x80 : 0)));
    chunks.push_back(PacketFrame(kAddress, data));
  } while (offset < value.size());
  return chunks;
}

Bytes NameOf(int client, int n, size_t length = 60) {
  Bytes value(length);
  for (size_t i = 0; i < length; ++i) value[i] = uint8_t(client * 31 + n * 7 + i);
  return value;
}

bool IsAck(const Frame& reply, uint8_t option) {
  return reply.size() >= 5 && uint8_t(reply[0]) == kAddress && uint8_t(reply[2]) == kSystem &&
         uint8_t(reply[3]) == (0xC0 | option) && (uint8_t(reply[4]) & 0x80) == 0;
}

Frame SerialReply() { return PacketFrame(kAddress, {kSystem, 9, 0, 0x5E, 0x4F, 0x00, 0x01}); }
bool IsSerial(const Frame& reply) { return reply == SerialReply(); }

// One raw client: a DEALER connected to the server.
class Client {
 public:
  explicit Client(uint16_t port, const char* host = "127.0.0.1") : socket_(zsock_new_dealer(nullptr)) {
    zsock_connect(socket_, "tcp://%s:%u", host, unsigned(port));
  }
  ~Client() { zsock_destroy(&socket_); }
  void send(const Frame& frame) { sendFrames({frame}); }
  void sendFrames(const std::vector<Frame>& frames) {
    zmsg_t* message = zmsg_new();
    for (const Frame& f : frames) zmsg_addmem(message, f.data(), f.size());
    zmsg_send(&message, socket_);
  }
  bool receive(Frame* frame, int timeoutMs = kReplyWaitMs) {
    zsock_set_rcvtimeo(socket_, timeoutMs);
    zframe_t* f = zframe_recv(socket_);
    if (!f) return false;
    frame->assign(reinterpret_cast<const char*>(zframe_data(f)), zframe_size(f));
    zframe_destroy(&f);
    return true;
  }
  // The client goes away mid-conversation.
  void vanish() { zsock_destroy(&socket_); }

 private:
  zsock_t* socket_;
};

class ServedUsbModule : public ::testing::Test {
 protected:
  // Nothing is started outside the namespace: the test itself reruns there.
  void SetUp() override {
    if (!NetnsIsInside()) return;
    devsim::DevSimConfig config;
    config.usbDir = dir_.path();
    devsim::ModuleSpec module;
    std::string error;
    ASSERT_TRUE(devsim::ParseModuleSpec("serial=0x5E4F0001,model=23,address=4,usb,hb=2,bytesmax=4096", &module, &error))
        << error;
    config.modules.push_back(module);
    sim_ = std::make_unique<devsim::DevSim>(config);
    ASSERT_TRUE(sim_->start(&error)) << error;
    setenv("AXONFORGE_USBSIM_DIR", dir_.path().c_str(), 1);
    link_ = aLink_CreateUSB(kSerial);
    ASSERT_NE(link_, 0u);
    ASSERT_EQ(aServer_Create(link_, 0, true, &server_), aErrNone);
    ASSERT_EQ(aServer_Start(server_), aErrNone);
    ASSERT_EQ(aServer_GetPort(server_, &port_), aErrNone);
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(aServer_Destroy(&server_), aErrNone);
      EXPECT_EQ(server_, nullptr);
    }
    if (link_) aLink_Destroy(&link_);
    if (sim_) sim_->stop();
    unsetenv("AXONFORGE_USBSIM_DIR");
  }
  // Sends the request and expects exactly this reply.
  void expectReply(Client& client, const Frame& request, const Frame& reply) {
    client.send(request);
    Frame got;
    ASSERT_TRUE(client.receive(&got));
    EXPECT_EQ(got, reply);
  }

  TempDir dir_;
  std::unique_ptr<devsim::DevSim> sim_;
  uint32_t link_ = 0;
  aServer* server_ = nullptr;
  uint16_t port_ = 0;
};

TEST_F(ServedUsbModule, AnswersDiscoveryOnceTheModelIsKnownServesStreamsAndSurvivesGarbage) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  uint32_t address = 0;
  ASSERT_EQ(aServer_GetInterface(server_, &address), aErrNone);
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
  EXPECT_NE(port_, 0u);
  aServer* refused = nullptr;
  EXPECT_EQ(aServer_Create(link_, inet_addr("10.231.0.1"), true, &refused), aErrConfiguration);
  EXPECT_EQ(aServer_Create(0x7FFFFFFF, 0, true, &refused), aErrNotFound);
  EXPECT_EQ(refused, nullptr);

  // Silent while the model is 0; then the answer names this server.
  CollectedSpecs none;
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &none, 0), 0);
  ASSERT_EQ(aServer_SetModel(server_, kModel), aErrNone);
  ASSERT_EQ(aServer_SetModuleAddress(server_, kAddress), aErrNone);
  CollectedSpecs found;
  ASSERT_EQ(aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &found, 0), 1);
  EXPECT_EQ(found.specs[0].type, AWEAVE);
  EXPECT_EQ(found.specs[0].serialNumber, kSerial);
  EXPECT_EQ(found.specs[0].model, kModel);
  EXPECT_EQ(found.specs[0].ipAddress, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(found.specs[0].ipPort, port_);

  Client subscriber(port_), other(port_);
  // A reply of one data byte is a 3-byte frame, and still a reply.
  expectReply(other, PacketFrame(kAddress, {kEcho}), PacketFrame(kAddress, {kEcho}));
  // A client's route switch never reaches the device: the server's link stays routed.
  other.send(PacketFrame(0xAF, {0}));
  expectReply(other, GetSerial(), SerialReply());

  // Streaming: the enable request goes on to the device (which answers it) and subscribes.
  subscriber.send(PacketFrame(kAddress, {devsim::kStreamCommand, 0x81, 0x20, kAddress, kSystem, kLedOption, 0}));
  Frame ack;
  ASSERT_TRUE(subscriber.receive(&ack));
  EXPECT_EQ(uint8_t(ack[2]), devsim::kStreamCommand);
  constexpr int kSamples = 6;
  for (int i = 0; i < kSamples; ++i) {
    devsim::EntityValue value;
    value.option = kLedOption;
    value.width = 1;
    value.value = uint32_t(i);
    ASSERT_TRUE(sim_->emit(kSerial, devsim::EncodeSample(kAddress, kSystem, 0, value, 1000 + i)));
  }
  // Held until a heartbeat flushes them, several packets to a frame.
  int samples = 0, frames = 0;
  while (samples < kSamples) {
    Frame stream;
    ASSERT_TRUE(subscriber.receive(&stream)) << samples << " samples arrived";
    const std::vector<Frame> packets = SplitPackets(stream);
    ASSERT_FALSE(packets.empty());
    for (const Frame& p : packets) EXPECT_NE(uint8_t(p[4]) & 0x40, 0) << "not a sample";
    samples += int(packets.size());
    ++frames;
  }
  EXPECT_EQ(samples, kSamples);
  EXPECT_LT(frames, kSamples);
  Frame stray;
  EXPECT_FALSE(other.receive(&stray, 200)) << "a client that did not subscribe got stream data";

  // Garbage: frames that are no packet, messages of other shapes, an oversized frame.
  Client vandal(port_);
  vandal.send("");
  vandal.send(Frame("\x04", 1));
  vandal.send(PacketFrame(kAddress, Bytes(29, 1)));
  vandal.send(Frame("\x04\x05\x17", 3));  // says 5 data bytes, has 1
  vandal.sendFrames({Echo(9, 1), Echo(9, 2), Echo(9, 3)});
  vandal.send(Frame(5000, 'x'));
  vandal.sendFrames({});
  expectReply(other, Echo(1, 77), Echo(1, 77));
  Client fresh(port_);
  expectReply(fresh, Echo(2, 78), Echo(2, 78));
  EXPECT_FALSE(vandal.receive(&stray, 200)) << "garbage was answered";

  // On a network interface the server answers beacons instead, again only once the model is
  // known, advertising that interface.
  ASSERT_EQ(aServer_Destroy(&server_), aErrNone);
  const uint32_t lan = inet_addr("10.231.0.1");
  ASSERT_EQ(aServer_Create(link_, lan, false, &server_), aErrNone);
  ASSERT_EQ(aServer_Start(server_), aErrNone);
  ASSERT_EQ(aServer_GetInterface(server_, &address), aErrNone);
  EXPECT_EQ(address, lan);
  CollectedSpecs silent;
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &silent, lan), 0);
  ASSERT_EQ(aServer_SetModel(server_, kModel), aErrNone);
  CollectedSpecs beaconed;
  ASSERT_EQ(aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &beaconed, lan), 1);
  EXPECT_EQ(beaconed.specs[0].ipAddress, lan);
  ASSERT_EQ(aServer_GetPort(server_, &port_), aErrNone);
  EXPECT_EQ(beaconed.specs[0].ipPort, port_);
  Client remote(port_, "10.231.0.1");
  expectReply(remote, Echo(3, 79), Echo(3, 79));
}

// Runs one client's share of the hammer: mixed requests, each bytes write sent packet by packet
// with a yield between, for a bounded number of rounds. Counts what came back.
struct HammerCount {
  int requests = 0, replies = 0, wrong = 0, missing = 0, writes = 0;
};

void Hammer(uint16_t port, int id, int rounds, HammerCount* count) {
  Client client(port);
  for (int n = 0; n < rounds; ++n) {
    std::function<bool(const Frame&)> matches;
    switch ((id + n) % 4) {
      case 0:
        client.send(Echo(id, n));
        matches = [&](const Frame& r) { return r == Echo(id, n); };
        break;
      case 1:
        client.send(GetSerial());
        matches = IsSerial;
        break;
      case 2:
        client.send(SetLed(uint8_t(id)));
        matches = [](const Frame& r) { return IsAck(r, kLedOption); };
        break;
      default:
        for (const Frame& chunk : NameWrite(NameOf(id, n))) {
          client.send(chunk);
          std::this_thread::yield();
        }
        count->writes++;
        matches = [](const Frame& r) { return IsAck(r, kNameOption); };
        break;
    }
    count->requests++;
    Frame reply;
    if (!client.receive(&reply)) {
      count->missing++;
    } else if (matches(reply)) {
      count->replies++;
    } else {
      count->wrong++;
    }
  }
}

TEST_F(ServedUsbModule, EightClientsHammerTheLinkAndEachGetsExactlyItsOwnReplies) {
  RUN_INSIDE_NETNS();
  std::vector<std::unique_ptr<Client>> clients;
  for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<Client>(port_));

  // 1. Three-packet bytes writes of all eight clients interleaved packet by packet, an echo
  // after each: the device takes every write whole (it acknowledges each without error), and
  // each client gets its acknowledgement, then its own echo.
  int interleavedReplies = 0;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::vector<Frame>> writes;
    for (int c = 0; c < kClients; ++c) writes.push_back(NameWrite(NameOf(c, round)));
    for (size_t chunk = 0; chunk < 3; ++chunk)
      for (int c = 0; c < kClients; ++c) clients[c]->send(writes[c][chunk]);
    for (int c = 0; c < kClients; ++c) clients[c]->send(Echo(c, round));
    for (int c = 0; c < kClients; ++c) {
      Frame ack, echo;
      ASSERT_TRUE(clients[c]->receive(&ack)) << "client " << c;
      EXPECT_TRUE(IsAck(ack, kNameOption)) << "client " << c << " round " << round;
      ASSERT_TRUE(clients[c]->receive(&echo));
      EXPECT_EQ(echo, Echo(c, round));
      interleavedReplies += 2;
    }
  }
  // The last write to complete was the last client's; its value reads back whole, in several
  // reply packets that all reach the asking client.
  clients[0]->send(GetName());
  const Bytes last = NameOf(kClients - 1, 2);
  Bytes readBack;
  for (Frame part; readBack.size() < last.size() && clients[0]->receive(&part);) {
    ASSERT_GE(part.size(), 6u);
    readBack.insert(readBack.end(), part.begin() + 5, part.end() - 1);
  }
  EXPECT_EQ(readBack, last);

  // 2. A write of 130 chunks counts its sequence numbers past 127 to 0 again.
  const Bytes longName = NameOf(3, 3, 130 * 24);
  for (const Frame& chunk : NameWrite(longName)) clients[1]->send(chunk);
  Frame ack;
  ASSERT_TRUE(clients[1]->receive(&ack));
  EXPECT_TRUE(IsAck(ack, kNameOption));

  // 3. Eight clients at once, each on its own thread, mixed requests for a bounded number of
  // rounds: nothing is lost and nobody gets another's reply.
  constexpr int kRounds = 40;
  std::vector<HammerCount> counts(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) threads.emplace_back(Hammer, port_, c, kRounds, &counts[c]);
  for (std::thread& t : threads) t.join();
  HammerCount total;
  for (const HammerCount& c : counts) {
    EXPECT_EQ(c.replies, kRounds);
    total.requests += c.requests;
    total.replies += c.replies;
    total.wrong += c.wrong;
    total.missing += c.missing;
    total.writes += c.writes;
  }
  EXPECT_EQ(total.wrong, 0);
  EXPECT_EQ(total.missing, 0);

  // 4. A request the device never answers: that client gets nothing, the others' replies stay
  // theirs. A client that vanishes mid-write and a chunk that continues no write disturb nobody.
  devsim::FaultSpec drop;
  uint32_t faultSerial = 0;
  std::string error;
  ASSERT_TRUE(devsim::ParseFault("drop=uei:1", &drop, &faultSerial, &error)) << error;
  ASSERT_TRUE(sim_->addFault(kSerial, drop));
  clients[2]->send(GetSerial());
  clients[3]->send(NameWrite(NameOf(3, 9))[0]);
  clients[3]->vanish();
  clients[4]->send(NameWrite(NameOf(4, 9))[1]);
  clients[5]->send(Echo(5, 500));
  clients[4]->send(Echo(4, 501));
  Frame reply;
  ASSERT_TRUE(clients[5]->receive(&reply));
  EXPECT_EQ(reply, Echo(5, 500));
  ASSERT_TRUE(clients[4]->receive(&reply));
  EXPECT_EQ(reply, Echo(4, 501));
  EXPECT_FALSE(clients[2]->receive(&reply, 1000)) << "an unanswered request was answered";
  clients[2]->send(Echo(2, 502));
  ASSERT_TRUE(clients[2]->receive(&reply));
  EXPECT_EQ(reply, Echo(2, 502));

  // A packet the device sends unasked (a late answer) is nobody's reply: not the next
  // request's, whatever it asks.
  ASSERT_TRUE(sim_->emit(kSerial, devsim::SimPacket(kAddress, {kSystem, 9, 0, 0xDE, 0xAD, 0xBE, 0xEF})));
  clients[6]->send(Echo(6, 503));
  ASSERT_TRUE(clients[6]->receive(&reply));
  EXPECT_EQ(reply, Echo(6, 503));
  clients[7]->send(GetSerial());
  ASSERT_TRUE(clients[7]->receive(&reply));
  EXPECT_EQ(reply, SerialReply());

  printf("hammer: %d interleaved replies; %d concurrent requests (%d bytes writes), %d replies, "
         "%d wrong, %d missing\n",
         interleavedReplies, total.requests, total.writes, total.replies, total.wrong, total.missing);
  RecordProperty("concurrent_requests", total.requests);
  RecordProperty("concurrent_replies", total.replies);
}

TEST(ServerPools, HoldAWriteUntilItsLastChunkAndExpireInBoundedTime) {
  aServerPools pools;
  std::vector<aServerPacketRef> write;
  auto packet = [](const Frame& frame) {
    return aServerPacketRef(aPacket_CreateWithData(uint8_t(frame[0]), uint8_t(frame[1]),
                                                   reinterpret_cast<const uint8_t*>(frame.data() + 2)));
  };
  const std::vector<Frame> chunks = NameWrite(NameOf(0, 0));
  // A chunk that continues no write is dropped; a lone short chunk passes on.
  EXPECT_EQ(pools.offer("a", *packet(chunks[1]), 0, &write), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("a", *packet(chunks[2]), 0, &write), aServerPools::kPassOn);
  EXPECT_EQ(pools.offer("a", *packet(GetSerial()), 0, &write), aServerPools::kPassOn);
  EXPECT_EQ(pools.size(), 0u);
  // Opened, then left: gone once a lifetime has passed without a chunk.
  EXPECT_EQ(pools.offer("a", *packet(chunks[0]), 100, &write), aServerPools::kHeld);
  pools.expire(100 + kServerPoolLifetimeMs);
  EXPECT_EQ(pools.size(), 1u);
  pools.expire(101 + kServerPoolLifetimeMs);
  EXPECT_EQ(pools.size(), 0u);
  // Out of sequence: the broken write is dropped and a new one may start at once.
  EXPECT_EQ(pools.offer("b", *packet(chunks[0]), 0, &write), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("b", *packet(chunks[0]), 0, &write), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("b", *packet(SetLed(1)), 0, &write), aServerPools::kPassOn) << "another option's set";
  EXPECT_EQ(pools.offer("b", *packet(chunks[1]), 0, &write), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("b", *packet(chunks[2]), 0, &write), aServerPools::kComplete);
  ASSERT_EQ(write.size(), 3u);
  EXPECT_EQ(pools.size(), 0u);
  // The largest write completes, its sequence numbers wrapping many times; one chunk more and
  // the pool is dropped instead of growing on.
  const size_t largest = UEI_BYTES_CHUNK_MAX * (kServerPoolMaxChunks - 1) + 1;
  for (size_t length : {largest, largest + UEI_BYTES_CHUNK_MAX}) {
    const std::vector<Frame> big = NameWrite(NameOf(1, 1, length));
    aServerPools::Outcome last = aServerPools::kHeld;
    for (const Frame& chunk : big) last = pools.offer("c", *packet(chunk), 0, &write);
    EXPECT_EQ(last, length == largest ? aServerPools::kComplete : aServerPools::kPassOn) << big.size() << " chunks";
    EXPECT_EQ(pools.size(), 0u);
  }
  EXPECT_EQ(write.size(), kServerPoolMaxChunks);
}

// The conversation on an injected clock: one request at a time, each answered packet waiting
// for its answer; the broker and the filter read the clock on threads of their own.
TEST(ServerConversation, ServesOneRequestAtATimeAndEndsOnlyWaitsThatRanOut) {
  auto packet = [](const Frame& frame) {
    return aServerPacketRef(aPacket_CreateWithData(uint8_t(frame[0]), uint8_t(frame[1]),
                                                   reinterpret_cast<const uint8_t*>(frame.data() + 2)));
  };
  auto one = [&](const Frame& frame) {
    std::vector<aServerPacketRef> packets;
    packets.push_back(packet(frame));
    return packets;
  };
  std::vector<Frame> put;
  std::vector<std::pair<std::string, size_t>> replies;
  bool accept = true;
  aServerSync sync([&](const aPacket& p) { put.push_back(PacketFrame(p.address, Bytes(p.data, p.data + p.dataSize))); return accept; },
                   [&](aServerSync::Replies& r) { replies.emplace_back(r.client, r.packets.size()); });
  const std::vector<Frame> name = NameWrite(NameOf(0, 0));  // chunks that continue, as a reply too
  sync.request("a", 0, one(GetName()), 1000);
  sync.request("b", 0, one(GetSerial()), 1000);
  EXPECT_EQ(put.size(), 1u) << "b waits until a is answered";
  sync.onDevicePacket(*packet(PacketFrame(kAddress + 1, {kSystem})), 1001);  // nobody's
  sync.onDevicePacket(*packet(name[0]), 1002);
  sync.tick(1001);  // read a moment before the wait that the answer began
  sync.tick(1002 + aSERVER_SYNC_WAIT_MS - 1);
  EXPECT_EQ(sync.msUntilDeadline(1002 + aSERVER_SYNC_WAIT_MS - 1), 1);
  sync.onDevicePacket(*packet(name.back()), 3001);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], std::make_pair(std::string("a"), size_t(2)));
  ASSERT_EQ(put.size(), 2u);
  EXPECT_EQ(put[1], GetSerial());
  // b's answer never comes: its wait ends, it gets nothing and the next request goes in.
  sync.request("c", 0, one(SetLed(1)), 3002);
  const uint32_t bGaveUp = 3001 + aSERVER_SYNC_WAIT_MS;
  sync.tick(bGaveUp);
  EXPECT_EQ(put.size(), 3u);
  EXPECT_EQ(replies.size(), 1u);
  EXPECT_EQ(sync.msUntilDeadline(bGaveUp), int(aSERVER_SYNC_WAIT_MS));
  // A link that takes nothing ends the request without a wait.
  sync.tick(bGaveUp + aSERVER_SYNC_WAIT_MS);
  accept = false;
  sync.request("d", 0, one(GetSerial()), bGaveUp + aSERVER_SYNC_WAIT_MS);
  EXPECT_EQ(sync.msUntilDeadline(bGaveUp + aSERVER_SYNC_WAIT_MS), -1);
  EXPECT_EQ(replies.size(), 1u);
}

}  // namespace

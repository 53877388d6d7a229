// The link engine over a scripted stream: wire behaviour byte by byte.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "ScriptedStream.h"
#include "aLink.h"
#include "aLinkRegistry.h"
#include "aLinkTransport.h"

namespace {

using Bytes = ScriptedStream::Bytes;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const Bytes kRouteOn = {0xAF, 1, 1};
const Bytes kRouteOff = {0xAF, 1, 0};
const Bytes kSyncRequest = {0xAD, 0};
const Bytes kSyncBurst = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

Bytes wireOf(const aPacket* packet) {
  Bytes bytes(2u + packet->dataSize);
  bytes[0] = packet->address;
  bytes[1] = packet->dataSize;
  std::copy(packet->data, packet->data + packet->dataSize, bytes.begin() + 2);
  return bytes;
}

Packet makePacket(uint8_t address, Bytes data) {
  data.reserve(1);
  return Packet(aPacket_CreateWithData(address, uint8_t(data.size()), data.data()));
}

// Plays a module that answers every sync request with two empty packets from its address.
ScriptedStream::Responder answerSync(ScriptedStream& stream, uint8_t address) {
  return [&stream, address](const Bytes& written) {
    for (size_t i = 0; i < ScriptedStream::Count(written, kSyncRequest); ++i) stream.Feed({address, 0, address, 0});
  };
}

bool waitForStatus(uint32_t id, uint32_t status, int timeoutMs = 3000) {
  for (int i = 0; i < timeoutMs && aLink_GetStatus(id) != status; ++i) std::this_thread::sleep_for(milliseconds(1));
  return aLink_GetStatus(id) == status;
}

class LinkEngine : public ::testing::Test {
 protected:
  void TearDown() override {
    stream.SetWriteGate(true);
    stream.SetReadTimeoutMs(0);  // let a waiting read return so the link stops at once
    if (id != 0) aLink_Destroy(&id);
  }
  // A running link over the scripted stream; its start has switched the route on.
  void open(uint32_t readTimeoutMs = 0) {
    stream.SetReadTimeoutMs(readTimeoutMs);
    id = aLink_Create(stream.Create());
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    ASSERT_TRUE(stream.WaitForWritten(kRouteOn));
  }
  ScriptedStream stream;
  uint32_t id = 0;
};

}  // namespace

TEST_F(LinkEngine, StartRoutesTrafficHereAndDestroySwitchesItOff) {
  open();
  EXPECT_EQ(stream.Writes().front(), kRouteOn);
  aLink_Destroy(&id);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(stream.Writes().back(), kRouteOff);
  EXPECT_TRUE(stream.Deleted());
}

TEST_F(LinkEngine, ExchangesPacketsBothWays) {
  open();
  Packet request = makePacket(4, {3, 0x48, 0x20});
  ASSERT_EQ(aLink_PutPacket(id, request.get()), aErrNone);
  EXPECT_TRUE(stream.WaitForWritten({4, 3, 3, 0x48, 0x20}));

  stream.Feed({4, 4, 3, 0x08, 0x00, 0x11, 6, 0});
  Packet reply(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(reply);
  EXPECT_EQ(wireOf(reply.get()), (Bytes{4, 4, 3, 0x08, 0x00, 0x11}));
  Packet empty(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(empty);
  EXPECT_EQ(wireOf(empty.get()), (Bytes{6, 0}));
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LinkEngine, SyncSendsABurstAndCompletesOnTheModulesAnswer) {
  open();
  stream.SetResponder(answerSync(stream, 4));
  Packet stale = makePacket(4, {1});
  aLink_PutPacket(id, stale.get());
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  EXPECT_GE(ScriptedStream::Count(stream.Written(), kSyncBurst), 1u);
  // The surplus answers (ten more empty packets) were discarded with the rest.
  EXPECT_EQ(aLink_GetPacket(id), nullptr);

  // In step again: ordinary traffic flows.
  stream.Feed({4, 1, 9});
  Packet packet(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(packet);
  EXPECT_EQ(wireOf(packet.get()), (Bytes{4, 1, 9}));
}

TEST_F(LinkEngine, MismatchedSyncAnswerStartsOverOnTheNextByte) {
  // Reads wait up to a second, so within that window only bytes drive the sync machine.
  open(1000);
  auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
  ASSERT_TRUE(stream.WaitForWritten(kSyncBurst, 1));
  stream.Feed({4, 0, 6});  // the second address differs: back to the start, nothing sent yet
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(ScriptedStream::Count(stream.Written(), kSyncBurst), 1u);
  EXPECT_EQ(aLink_GetStatus(id), LINK_SYNCING);
  stream.Feed({0});  // any byte now asks again
  EXPECT_TRUE(stream.WaitForWritten(kSyncBurst, 2, 400));
  // A heartbeat ahead of the answer is answered, and the answer still completes the sync.
  stream.Feed({4, 2, 0, 1});
  EXPECT_TRUE(stream.WaitForWritten({4, 2, 0, 3}));
  stream.Feed({4, 0, 4, 0});
  EXPECT_EQ(sync.get(), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
}

TEST_F(LinkEngine, ABadByteWhileInStepForcesAResync) {
  open(2000);
  stream.Feed({0x03});  // odd: cannot be a module address
  ASSERT_TRUE(stream.WaitForWritten(kSyncBurst));
  EXPECT_EQ(aLink_GetStatus(id), LINK_SYNCING);
  stream.Feed({8, 0, 8, 0});
  EXPECT_TRUE(waitForStatus(id, LINK_RUNNING));

  // An oversized length byte is just as bad (once the previous burst is a while back: bursts
  // are spaced out).
  std::this_thread::sleep_for(milliseconds(60));
  stream.Feed({8, 29});
  ASSERT_TRUE(stream.WaitForWritten(kSyncBurst, 2, 1000));
  EXPECT_EQ(aLink_GetStatus(id), LINK_SYNCING);
}

TEST_F(LinkEngine, AnswersHeartbeatsWithoutQueueingThem) {
  open();
  stream.Feed({4, 2, 0, 0});
  EXPECT_TRUE(stream.WaitForWritten({4, 2, 0, 2}));
  stream.Feed({4, 2, 0, 1});
  EXPECT_TRUE(stream.WaitForWritten({4, 2, 0, 3}));
  stream.Feed({4, 3, 0, 0, 1});  // three bytes: ordinary traffic
  Packet packet(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(packet);
  EXPECT_EQ(wireOf(packet.get()), (Bytes{4, 3, 0, 0, 1}));
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

namespace {

struct ConsumeFrom {
  uint8_t address;
  std::atomic<int> consumed{0};
  static uint8_t filter(const aPacket* packet, void* reference) {
    auto* self = static_cast<ConsumeFrom*>(reference);
    if (packet->address != self->address) return 0;
    self->consumed++;
    return 1;
  }
};

}  // namespace

TEST_F(LinkEngine, UserFilterConsumesPacketsBeforeTheQueueAndHeartbeats) {
  open();
  ConsumeFrom filter{4};
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, ConsumeFrom::filter, &filter), aErrNone);
  stream.Feed({4, 1, 0x55, 4, 2, 0, 0, 6, 1, 0x66});
  Packet passed(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(passed);
  EXPECT_EQ(wireOf(passed.get()), (Bytes{6, 1, 0x66}));
  EXPECT_EQ(filter.consumed, 2);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  EXPECT_EQ(ScriptedStream::Count(stream.Written(), {4, 2, 0, 2}), 0u);  // the filter took the heartbeat

  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  stream.Feed({4, 1, 0x77});
  Packet after(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(after);
  EXPECT_EQ(wireOf(after.get()), (Bytes{4, 1, 0x77}));
}

namespace {

// Holds the outbound thread in a write while 200 packets queue up behind it, then lets it go.
std::vector<Bytes> writeHeldBackBurst(ScriptedStream& stream, uint32_t id, uint8_t payloadSize, Bytes* expected) {
  stream.SetWriteGate(false);
  const size_t before = stream.Writes().size();
  Packet blocker = makePacket(2, {0xEE});
  aLink_PutPacket(id, blocker.get());
  EXPECT_TRUE(stream.WaitForWritersAtGate(1));
  for (int i = 0; i < 200; ++i) {
    Bytes data(payloadSize, uint8_t(i));
    Packet packet = makePacket(uint8_t(2 + 2 * (i % 100)), data);
    aLink_PutPacket(id, packet.get());
    const Bytes wire = wireOf(packet.get());
    expected->insert(expected->end(), wire.begin(), wire.end());
  }
  stream.SetWriteGate(true);
  Bytes written;
  std::vector<Bytes> writes;
  for (int i = 0; i < 3000 && written.size() < expected->size() + 3; ++i) {
    std::this_thread::sleep_for(milliseconds(1));
    writes = stream.Writes();
    writes.erase(writes.begin(), writes.begin() + std::ptrdiff_t(before));
    written.clear();
    for (const Bytes& write : writes) written.insert(written.end(), write.begin(), write.end());
  }
  return writes;
}

Bytes concat(const std::vector<Bytes>& writes, size_t skip) {
  Bytes all;
  for (size_t i = skip; i < writes.size(); ++i) all.insert(all.end(), writes[i].begin(), writes[i].end());
  return all;
}

}  // namespace

TEST_F(LinkEngine, PooledWritesCoalesceQueuedPacketsInOrderUpTo4096Bytes) {
  open();
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  for (uint8_t payload : {uint8_t(2), uint8_t(28)}) {
    Bytes expected;
    std::vector<Bytes> writes = writeHeldBackBurst(stream, id, payload, &expected);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), (Bytes{2, 1, 0xEE})) << "the held-back packet goes first, alone";
    EXPECT_EQ(concat(writes, 1), expected) << "payload " << int(payload);
    for (const Bytes& write : writes) EXPECT_LE(write.size(), 4096u);
    // 800 bytes fit one write; 6000 need two.
    EXPECT_EQ(writes.size() - 1, payload == 2 ? 1u : 2u);
  }
}

TEST_F(LinkEngine, PlainWritesSendOnePacketPerWrite) {
  open();
  Bytes expected;
  std::vector<Bytes> writes = writeHeldBackBurst(stream, id, 2, &expected);
  ASSERT_EQ(writes.size(), 201u);
  EXPECT_EQ(concat(writes, 1), expected);
}

TEST_F(LinkEngine, ReadFailuresShowAsIOErrorAndEndWaitsEarly) {
  open();
  std::atomic<bool> returned{false};
  auto start = Clock::now();
  auto wait = std::async(std::launch::async, [&] {
    Packet packet(aLink_AwaitFirst(id, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr, 10000));
    returned = true;
    return packet != nullptr;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(returned);
  stream.FailReads(aErrIO);
  EXPECT_TRUE(waitForStatus(id, LINK_IO_ERROR));
  EXPECT_FALSE(wait.get());
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  // Not running: a wait ends at once.
  EXPECT_EQ(aLink_AwaitFirst(id, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr, 5000), nullptr);
}

// A module that never answers a sync, over a stream whose reads return at once: bursts keep
// going out, but the inbound thread must not spin.
TEST_F(LinkEngine, UnansweredSyncKeepsAskingWithoutSpinning) {
  open(0);
  const size_t readsBefore = stream.ReadCalls();
  auto start = Clock::now();
  EXPECT_EQ(aLink_Sync(id), aErrNotReady);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const size_t reads = stream.ReadCalls() - readsBefore;
  const size_t bursts = ScriptedStream::Count(stream.Written(), kSyncBurst);
  EXPECT_GE(bursts, 3u) << "bursts are resent on read timeouts";
  EXPECT_LT(bursts / seconds, 100.0) << bursts << " bursts in " << seconds << " s";
  EXPECT_LT(reads / seconds, 5000.0) << reads << " reads in " << seconds << " s";
  EXPECT_EQ(aLink_GetStatus(id), LINK_SYNCING);
}

TEST_F(LinkEngine, PacketLogRecordsBothDirections) {
  open();
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  Packet request = makePacket(4, {7});
  aLink_PutPacket(id, request.get());
  ASSERT_TRUE(stream.WaitForWritten({4, 1, 7}));
  stream.Feed({4, 1, 8});
  Packet reply(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(reply);
  uint8_t direction = 0;
  uint8_t buffer[64];
  uint32_t length;
  do {  // the route switch from the start may be logged too
    length = sizeof buffer;
    ASSERT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNone);
  } while (buffer[0] == 0xAF);
  EXPECT_EQ(direction, aPACKETLOG_SENT);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{4, 1, 7}));
  length = sizeof buffer;
  ASSERT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNone);
  EXPECT_EQ(direction, aPACKETLOG_RECEIVED);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{4, 1, 8}));
}

TEST_F(LinkEngine, ModuleQueries) {
  open();
  stream.SetResponder([this](const Bytes& written) {
    if (written == Bytes{0xAD, 0}) stream.Feed({6, 2, 0x30, 0x31, 6, 0});  // other traffic first
    if (written == Bytes{6, 3, 3, 0x48, 0x20}) stream.Feed({6, 4, 3, 0x08, 0x20, 15});
  });
  uint8_t address = 0;
  ASSERT_EQ(aLink_QueryModuleAddress(id, &address), aErrNone);
  EXPECT_EQ(address, 6);
  uint8_t model = 0;
  ASSERT_EQ(aLink_QueryModel(id, 6, &model), aErrNone);
  EXPECT_EQ(model, 15);

  stream.SetResponder([this](const Bytes& written) {
    if (written == Bytes{6, 3, 3, 0x48, 0x20}) stream.Feed({6, 5, 3, 0x08, 0x20, 15, 0});
  });
  EXPECT_EQ(aLink_QueryModel(id, 6, &model), aErrIO);  // wrong length
  stream.SetResponder(nullptr);
  EXPECT_EQ(aLink_QueryModel(id, 6, &model), aErrTimeout);
}

TEST_F(LinkEngine, UnknownIdsAreRefused) {
  const uint32_t unknown = 999999;
  Packet packet = makePacket(2, {1});
  EXPECT_EQ(aLink_GetStatus(unknown), LINK_NO_STREAM);
  EXPECT_EQ(aLink_PutPacket(unknown, packet.get()), aErrParam);
  EXPECT_EQ(aLink_Start(unknown), aErrParam);
  EXPECT_EQ(aLink_Sync(unknown), aErrParam);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
  EXPECT_EQ(aLink_DrainPackets(unknown, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr), 0u);
  EXPECT_EQ(aLink_AwaitPacket(unknown, 1000), nullptr);
  uint32_t copy = unknown;
  EXPECT_EQ(aLink_Destroy(&copy), aErrParam);
  EXPECT_EQ(copy, 0u);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);

  // Registered but never initialised: no queues to route through.
  uint32_t bare = aLinkRegistry_Create(0x7777, 0, USB);
  EXPECT_EQ(aLink_ForceRoute(bare, 1), aErrParam);
  aLinkRegistry_Extract(bare);
}

TEST_F(LinkEngine, LastUseDestroysTheLink) {
  open();
  aLinkEntryRef entry = aLinkRegistry_FindById(id);
  ASSERT_TRUE(aLinkRegistry_Share(*entry));  // a second holder
  uint32_t first = id, second = id;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);

  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_TRUE(stream.Deleted());
  EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
  EXPECT_FALSE(aLinkRegistry_FindById(id));
  id = 0;
}

TEST_F(LinkEngine, ResetOfALinkThatCannotBeReopenedKeepsItRunning) {
  open();
  EXPECT_EQ(aLink_Reset(id), aErrParam);  // made over a caller's stream
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  EXPECT_FALSE(stream.Deleted());
}

TEST(LinkTransport, BaudRateTable) {
  const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (uint32_t code = 0; code < 8; ++code) {
    uint32_t got = 99;
    EXPECT_TRUE(aLinkTransport_BaudRateCode(rates[code], &got)) << rates[code];
    EXPECT_EQ(got, code);
  }
  uint32_t got = 99;
  for (uint32_t rate : {0u, 14400u, 1200u, 460800u, 115201u}) EXPECT_FALSE(aLinkTransport_BaudRateCode(rate, &got));
  EXPECT_EQ(aLink_CreateSerial(0x1234, "/dev/null", 14400), 0u);
  EXPECT_FALSE(aLinkRegistry_FindByIdentifier(0x1234));
  EXPECT_EQ(aLink_CreateSerial(0x1234, "/nonexistent/tty", 115200), 0u);
  EXPECT_FALSE(aLinkRegistry_FindByIdentifier(0x1234));
}

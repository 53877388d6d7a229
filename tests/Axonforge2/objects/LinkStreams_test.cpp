// Stream sample delivery: registrations with the device, the per-value cache, callbacks on the
// Link's worker thread, the bounded queue, and taking it all down again.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <string>

#include "FakeModule.h"
#include "LinkTestSupport.h"

namespace {

using namespace linktest;
using Tessaron::Axonforge::StreamStatusEntry;

constexpr uint8_t kStreamCommand = 0x5D;

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// A module that acknowledges stream registrations (or refuses them with an error code).
class StreamingFakeModule : public ::testing::Test {
 protected:
  void SetUp() override {
    device.setHandler([this](const WirePacket& request) -> std::vector<WirePacket> {
      const Bytes& d = request.data;
      if (d.size() < 3 || d[0] != kStreamCommand) return {};
      const uint8_t ackOption = uint8_t(0xC0 | (d[1] & 0x3F));
      if (refusal != aErrNone) return {{kAddress, {kStreamCommand, ackOption, 0x80, uint8_t(refusal)}}};
      Bytes ack = {kStreamCommand, ackOption, 0};
      ack.insert(ack.end(), d.begin() + 3, d.end());
      return {{kAddress, ack}};
    });
    link = std::make_unique<Link>(device.spec(), "streams");
    ASSERT_EQ(link->connect(), aErrNone);
  }

  // Sends a byte sample of system entity 2 and waits until the link has seen it (a marker
  // packet sent after it has been received).
  void sample(uint8_t option, uint8_t value, int subindex = -1) {
    const uint8_t type = subindex < 0 ? 1 : 5;
    ASSERT_TRUE(device.send({kAddress, SampleData(3, option, 2, type, 1000, value, 1, subindex)}));
    sync();
  }
  void sync() {
    ASSERT_TRUE(device.send({kAddress, {0x77, ++markers}}));
    const uint8_t match[2] = {0x77, markers};
    // Hundreds of samples ahead of the marker can take the link longer than one reply wait on
    // a loaded machine (or under a sanitizer).
    aErr result = aErrTimeout;
    for (int wait = 0; wait < 10 && result == aErrTimeout; ++wait) {
      uint8_t length = 2, buffer[28];
      result = link->receivePacket(kAddress, match, &length, buffer);
    }
    ASSERT_EQ(result, aErrNone);
  }

  // Whether a stream sample now reaches the reply queue instead of the stream machinery.
  bool samplesReachTheReplyQueue() {
    if (!device.send({kAddress, SampleData(3, 9, 2, 1, 1, 1, 1)})) return false;
    const uint8_t match[3] = {3, 9, 0x42};
    uint8_t length = 3, buffer[28];
    return link->receivePacket(kAddress, match, &length, buffer) == aErrNone;
  }

  static constexpr uint8_t kAddress = 4;
  FakeModule device{kAddress};
  std::unique_ptr<Link> link;
  aErr refusal = aErrNone;
  uint8_t markers = 0;
};

TEST_F(StreamingFakeModule, RegistrationTellsTheDeviceTheKeyAndRefusesBadAddresses) {
  EXPECT_EQ(link->streams()->enableStream(3, 3, 5, 2, true), aErrParam);
  EXPECT_EQ(link->streams()->enableStream(0xFF, 3, 5, 2, true), aErrParam);
  EXPECT_TRUE(device.received(1, 30).empty());

  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 0xFF, 2, true), aErrNone);
  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 0xFF, 2, false), aErrNone);
  const std::vector<WirePacket> sent = device.received(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].data, (Bytes{kStreamCommand, 0x81, 0x20, kAddress, 3, 0xFF, 2}));
  EXPECT_EQ(sent[1].data, (Bytes{kStreamCommand, 0x82, 0x20, kAddress, 3, 0xFF, 2}));
}

TEST_F(StreamingFakeModule, AWildcardRegistrationCachesEachConcreteValueFreshThenStale) {
  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 0xFF, 2, true), aErrNone);
  uint32_t value = 0;
  EXPECT_EQ(link->streams()->getStreamValue(kAddress, 3, 5, 2, 0, &value), aErrNotFound);
  sample(5, 41);
  EXPECT_EQ(link->streams()->getStreamValue(kAddress, 3, 5, 2, 0, &value), aErrNone);
  EXPECT_EQ(value, 41u);
  EXPECT_EQ(link->streams()->getStreamValue(kAddress, 3, 5, 2, 0, &value), aErrStreamStale);
  EXPECT_EQ(value, 41u);
  sample(5, 42);
  EXPECT_EQ(link->streams()->getStreamValue(kAddress, 3, 5, 2, 0, &value), aErrNone);
  EXPECT_EQ(value, 42u);

  // A subindexed sample is cached under its subindex.
  sample(39, 7, 3);
  EXPECT_EQ(link->streams()->getStreamValue(kAddress, 3, 39, 2, 3, &value), aErrNone);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(link->streams()->getStreamValue(kAddress, 3, 39, 2, 0, &value), aErrNotFound);

  // The status lists the concrete entries, never the wildcard registration itself.
  StreamStatusEntry entries[4];
  size_t filled = 0;
  ASSERT_EQ(link->streams()->getStreamStatus(kAddress, 3, 0xFF, 2, 0xFF, entries, 4, &filled), aErrNone);
  ASSERT_EQ(filled, 2u);
  std::set<uint64_t> keys = {entries[0].key, entries[1].key};
  EXPECT_EQ(keys, (std::set<uint64_t>{LinkStreams::createStreamKey(kAddress, 3, 5, 2, 0),
                                      LinkStreams::createStreamKey(kAddress, 3, 39, 2, 3)}));
  EXPECT_EQ(link->streams()->filterActiveStreamKeys(kAddress, 3, 0xFF, 2, 0xFF, true).size(), 3u);
  sample(6, 1);
  EXPECT_EQ(link->streams()->getStreamStatus(kAddress, 3, 0xFF, 2, 0xFF, entries, 2, &filled), aErrSize);
  EXPECT_EQ(filled, 2u);
  EXPECT_EQ(link->streams()->getStreamStatus(kAddress, 3, 0xFF, 2, 0xFF, entries, 0, &filled), aErrParam);
  EXPECT_EQ(link->streams()->getStreamStatus(kAddress, 3, 0xFF, 2, 0xFF, nullptr, 2, &filled), aErrParam);
}

TEST_F(StreamingFakeModule, CallbacksRunInOrderOnOneWorkerThreadNotTheCaller) {
  std::mutex mutex;
  std::vector<uint8_t> values;
  std::set<std::thread::id> threads;
  int context = 0;
  void* seenContext = nullptr;
  auto callback = [&](const aPacket* packet, void* ctx) -> uint8_t {
    std::lock_guard<std::mutex> lock(mutex);
    values.push_back(packet->data[packet->dataSize - 2]);
    threads.insert(std::this_thread::get_id());
    seenContext = ctx;
    return 0;
  };
  ASSERT_EQ(link->streams()->registerStreamCallback(kAddress, 3, 5, 2, true, callback, &context), aErrNone);
  for (uint8_t v = 1; v <= 20; ++v) sample(5, v);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return values.size() == 20;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  for (uint8_t v = 1; v <= 20; ++v) EXPECT_EQ(values[v - 1], v);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(seenContext, &context);
}

TEST_F(StreamingFakeModule, AFullQueueDropsSamplesWhileTheWorkerIsStalled) {
  std::promise<void> entered, release;
  std::shared_future<void> go = release.get_future().share();
  std::atomic<int> calls{0};
  auto callback = [&](const aPacket*, void*) -> uint8_t {
    if (calls++ == 0) {
      entered.set_value();
      go.wait();
    }
    return 0;
  };
  ASSERT_EQ(link->streams()->registerStreamCallback(kAddress, 3, 5, 2, true, callback, nullptr), aErrNone);
  sample(5, 0);
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
  // The worker holds the first sample; 499 more fill the queue and the next is dropped.
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(device.send({kAddress, SampleData(3, 5, 2, 1, i, uint8_t(i), 1)}));
  }
  sync();
  release.set_value();
  ASSERT_TRUE(Eventually([&] { return calls == 500; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, 500);
}

TEST_F(StreamingFakeModule, DisablingTheLastRegistrationStopsTheWorkerAndReleasesTheFilter) {
  const int before = ThreadCount();
  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 5, 2, true), aErrNone);
  ASSERT_EQ(link->streams()->registerStreamCallback(kAddress, 3, 6, 2, true, [](const aPacket*, void*) -> uint8_t { return 0; },
                                         nullptr),
            aErrNone);
  EXPECT_EQ(ThreadCount(), before + 1);  // one worker for all registrations
  EXPECT_FALSE(samplesReachTheReplyQueue());

  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 5, 2, false), aErrNone);
  EXPECT_EQ(ThreadCount(), before + 1);  // one registration left
  const auto start = Clock::now();
  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 6, 2, false), aErrNone);
  EXPECT_LT(ElapsedMs(start), 500);
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_TRUE(samplesReachTheReplyQueue());
  EXPECT_TRUE(link->streams()->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
}

TEST_F(StreamingFakeModule, ACallbackMayRemoveItsOwnRegistration) {
  std::atomic<int> calls{0};
  std::atomic<aErr> removal{aErrUnknown};
  ASSERT_EQ(link->streams()->registerStreamCallback(kAddress, 3, 5, 2, true,
                                         [&](const aPacket*, void*) -> uint8_t {
                                           if (calls++ == 0) removal = link->streams()->enableStream(kAddress, 3, 5, 2, false);
                                           return 0;
                                         },
                                         nullptr),
            aErrNone);
  sample(5, 1);
  ASSERT_TRUE(Eventually([&] { return removal != aErrUnknown; }));
  EXPECT_EQ(removal, aErrNone);
  EXPECT_TRUE(samplesReachTheReplyQueue());
  EXPECT_EQ(calls, 1);
}

TEST_F(StreamingFakeModule, ARefusedRegistrationOrADisconnectLeavesNothingBehind) {
  const int before = ThreadCount();
  refusal = aErrInvalidEntity;
  EXPECT_EQ(link->streams()->enableStream(kAddress, 3, 5, 2, true), aErrInvalidEntity);
  EXPECT_TRUE(link->streams()->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_TRUE(samplesReachTheReplyQueue());

  refusal = aErrNone;
  ASSERT_EQ(link->streams()->enableStream(kAddress, 3, 5, 2, true), aErrNone);
  const int streaming = ThreadCount();
  ASSERT_EQ(link->disconnect(), aErrNone);
  EXPECT_TRUE(link->streams()->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_LE(ThreadCount(), streaming - 3);  // the worker and both link threads are gone
}

// ---- against the device simulator ----

using LinkStreamsToSimulator = SimulatedModule;

TEST_F(LinkStreamsToSimulator, StreamsEveryOptionOfTheSystemEntity) {
  uint8_t state = 9;
  ASSERT_EQ(link->streams()->isLinkStreaming(kSimAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
  std::atomic<int> modelSamples{0};
  ASSERT_EQ(link->streams()->registerStreamCallback(kSimAddress, kSystem, 8, 0, true,
                                         [&](const aPacket* packet, void*) -> uint8_t {
                                           uint32_t value = 0;
                                           if (LinkStreams::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone &&
                                               value == kSimModel) {
                                             ++modelSamples;
                                           }
                                           return 0;
                                         },
                                         nullptr),
            aErrNone);
  ASSERT_EQ(link->streams()->enableStream(kSimAddress, kSystem, 0xFF, 0, true), aErrNone);
  ASSERT_EQ(link->streams()->isLinkStreaming(kSimAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);
  uint32_t value = 0;
  ASSERT_TRUE(Eventually([&] { return link->streams()->getStreamValue(kSimAddress, kSystem, 9, 0, 0, &value) == aErrNone; }));
  EXPECT_EQ(value, kSimSerial);
  ASSERT_TRUE(Eventually([&] { return modelSamples >= 3; }));
  // The identifiers option streams one sample per subindex.
  ASSERT_TRUE(Eventually([&] { return link->streams()->getStreamValue(kSimAddress, kSystem, 39, 0, 3, &value) != aErrNotFound; }));

  StreamStatusEntry entries[64];
  size_t filled = 0;
  ASSERT_EQ(link->streams()->getStreamStatus(kSimAddress, kSystem, 0xFF, 0, 0xFF, entries, 64, &filled), aErrNone);
  EXPECT_GT(filled, 20u);
  for (size_t i = 0; i < filled; ++i) {
    EXPECT_EQ(LinkStreams::getStreamKeyElement(entries[i].key, LinkStreams::kSTREAM_KEY_MODULE), kSimAddress);
    EXPECT_NE(LinkStreams::getStreamKeyElement(entries[i].key, LinkStreams::kSTREAM_KEY_OPTION), 0xFF);
  }
  // Ordinary requests still get their replies while samples flow.
  uei reply{};
  ASSERT_EQ(get(1, &reply), aErrNone);
  EXPECT_EQ(reply.value.byteVal, kSimAddress);

  // Disabling every option of the entity takes the option-8 registration with it.
  ASSERT_EQ(link->streams()->enableStream(kSimAddress, kSystem, 0xFF, 0, false), aErrNone);
  ASSERT_EQ(link->streams()->isLinkStreaming(kSimAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
  EXPECT_TRUE(link->streams()->filterActiveStreamKeys(kSimAddress, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
}

TEST_F(LinkStreamsToSimulator, ALinkDestroyedWhileSamplesFlowStopsCleanly) {
  std::atomic<int> samples{0};
  ASSERT_EQ(link->streams()->registerStreamCallback(kSimAddress, kSystem, 0xFF, 0, true,
                                         [&](const aPacket*, void*) -> uint8_t { return uint8_t(++samples); },
                                         nullptr),
            aErrNone);
  ASSERT_TRUE(Eventually([&] { return samples > 50; }));
  link.reset();
}

}  // namespace

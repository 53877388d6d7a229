// EntityClass: gets, sets and calls, multi-packet values, waits for unsolicited replies and
// streamed values, against the device simulator.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "EntityClass.h"
#include "ModuleTestSupport.h"
#include "SystemClass.h"

using namespace moduletest;
using Tessaron::Axonforge::EntityClass;
using Tessaron::Axonforge::Link;
using Tessaron::Axonforge::StreamStatusEntry;
using Tessaron::Axonforge::SystemClass;

namespace {

constexpr uint8_t kSystem = 3;
constexpr uint8_t kModelOption = 8;
constexpr uint8_t kSerialOption = 9;
constexpr uint8_t kUptimeOption = 22;
constexpr uint8_t kNameOption = 32;
constexpr uint8_t kIdentifierOption = 39;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>('a' + i % 26);
  return bytes;
}

class EntityOnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.started());
    module = ConnectedModule(sim, kDirectSerial);
    ASSERT_EQ(system.init(module.get(), 0), aErrNone);
  }

  // Sends a get request of the system entity straight through the link, as another party would.
  void requestOutsideTheEntity(uint8_t option) {
    uei request{};
    request.module = kDirectAddress;
    request.command = kSystem;
    request.option = option | UEI_OPTION_GET;
    request.specifier = UEI_SPECIFIER_REPLY;
    ASSERT_EQ(module->getLink()->sendUEI(request), aErrNone);
  }

  // An echo answered after everything asked before it: the earlier replies are queued by then.
  void barrier() {
    const uint8_t marker[] = {0x42};
    ASSERT_EQ(module->debug(marker, sizeof marker), aErrNone);
  }

  Simulator sim{{std::string(kDirectModule) + ",id=11111111:22222222:33333333:44444444"}};
  std::unique_ptr<Module> module;
  SystemClass system;
};

TEST_F(EntityOnSimulator, BytesValuesRoundTripAndStopAtTheFirstChunkThatDoesNotFit) {
  const std::vector<uint8_t> name = Pattern(30);
  ASSERT_EQ(system.setUEIBytes(kNameOption, name.data(), name.size()), aErrNone);

  std::vector<uint8_t> buffer(64, 0);
  size_t received = 99;
  ASSERT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrNone);
  ASSERT_EQ(received, 30u);
  EXPECT_TRUE(std::equal(name.begin(), name.end(), buffer.begin()));

  uint8_t small[10];
  EXPECT_EQ(system.getUEIBytes(kNameOption, small, sizeof small, &received), aErrMemory);
  EXPECT_EQ(received, 0u) << "the first chunk (24 bytes) already does not fit";

  std::vector<uint8_t> partial(25, 0);
  EXPECT_EQ(system.getUEIBytes(kNameOption, partial.data(), partial.size(), &received), aErrMemory);
  ASSERT_EQ(received, 24u);
  EXPECT_TRUE(std::equal(name.begin(), name.begin() + 24, partial.begin()));

  // The chunks left over from the refused reads must not leak into the next one.
  barrier();
  std::vector<uint8_t> renamed = Pattern(40);
  std::reverse(renamed.begin(), renamed.end());
  ASSERT_EQ(system.setUEIBytes(kNameOption, renamed.data(), renamed.size()), aErrNone);
  std::fill(buffer.begin(), buffer.end(), 0);
  ASSERT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrNone);
  ASSERT_EQ(received, 40u);
  EXPECT_TRUE(std::equal(renamed.begin(), renamed.end(), buffer.begin()));

  EXPECT_EQ(system.getUEIBytes(kNameOption, nullptr, 10, &received), aErrParam);
  EXPECT_EQ(system.getUEIBytes(kNameOption, small, 0, &received), aErrParam);
  EXPECT_EQ(system.getUEIBytes(kNameOption, small, sizeof small, nullptr), aErrParam);
}

TEST_F(EntityOnSimulator, AChunkOutOfSequenceIsIgnoredUntilTheTimeOut) {
  const std::vector<uint8_t> name = Pattern(60);  // chunks of 24, 24 and 12 bytes
  ASSERT_EQ(system.setUEIBytes(kNameOption, name.data(), name.size()), aErrNone);

  // Inverts the trailer of the second chunk (its 30th wire byte): sequence 1 becomes 126.
  devsim::FaultSpec corrupt;
  corrupt.type = devsim::FaultSpec::Type::Corrupt;
  corrupt.count = 2;
  corrupt.value = 29;
  ASSERT_TRUE(sim.sim().addFault(kDirectSerial, corrupt));

  std::vector<uint8_t> buffer(64, 0);
  size_t received = 0;
  const auto start = Clock::now();
  EXPECT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrTimeout);
  EXPECT_GE(ElapsedMs(start), 950);
  EXPECT_EQ(received, 24u);

  ASSERT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrNone);
  ASSERT_EQ(received, 60u);
  EXPECT_TRUE(std::equal(name.begin(), name.end(), buffer.begin()));
}

TEST_F(EntityOnSimulator, RefusalsReturnTheDeviceCodeAndLeaveTheOutputAlone) {
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(system.getUEI32(44, &value), aErrInvalidOption);
  EXPECT_EQ(value, 0xDEADBEEFu);
  EXPECT_EQ(system.getUEI32(kIdentifierOption, 4, &value), aErrIndexRange);
  EXPECT_EQ(value, 0xDEADBEEFu);
  EXPECT_EQ(system.setUEI8(kModelOption, 3), aErrInvalidOption);
  EXPECT_EQ(system.callUEI(kModelOption), aErrInvalidOption);

  SystemClass second;
  ASSERT_EQ(second.init(module.get(), 1), aErrNone);
  uint8_t model = 0x55;
  EXPECT_EQ(second.getModel(&model), aErrIndexRange);
  EXPECT_EQ(model, 0x55);
  EXPECT_EQ(second.getIndex(), 1);
}

TEST_F(EntityOnSimulator, TypedValuesTravelInTheirWidthWithOrWithoutASubindex) {
  uint32_t serial = 0;
  EXPECT_EQ(system.getUEI32(kSerialOption, &serial), aErrNone);
  EXPECT_EQ(serial, kDirectSerial);
  uint8_t model = 0;
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone);
  EXPECT_EQ(model, kDirectModel);
  uint16_t narrow = 0;
  EXPECT_EQ(system.getUEI16(kSerialOption, &narrow), aErrNone);
  EXPECT_EQ(narrow, 0xABCD) << "a wider reply is narrowed to the getter";

  uint32_t word = 0;
  EXPECT_EQ(system.getUEI32(kIdentifierOption, 2, &word), aErrNone);
  EXPECT_EQ(word, 0x33333333u);
  EXPECT_EQ(sim.sentByHost("06 04 03 67 20 02"), 1u) << "the subindex travels as the value byte";
  uint8_t low = 0;
  EXPECT_EQ(system.getUEI8(kIdentifierOption, 3, &low), aErrNone);
  EXPECT_EQ(low, 0x44);

  EXPECT_EQ(system.setUEI32(kIdentifierOption, 1, 0x12345678), aErrInvalidOption);
  EXPECT_EQ(sim.sentByHost("06 08 03 A7 20 01 12 34 56 78"), 1u);
  EXPECT_EQ(system.setUEI16(3, 0x0102), aErrParam) << "a 16-bit value for a byte option";
  EXPECT_EQ(sim.sentByHost("06 05 03 83 20 01 02"), 1u);

  // The acknowledgement replaces the record's value with the one the device holds.
  uei record{};
  record.type = UEI_TYPE_BYTE;
  record.value.byteVal = 5;
  ASSERT_EQ(system.setUEI(4, &record), aErrNone);
  EXPECT_EQ(record.type, UEI_TYPE_BYTE);
  EXPECT_EQ(record.value.byteVal, 1);
  EXPECT_EQ(record.option, 4 | UEI_OPTION_ACK);

  EXPECT_EQ(system.getUEI8(kModelOption, static_cast<uint8_t*>(nullptr)), aErrParam);
  EXPECT_EQ(system.getUEI32(kModelOption, 0, nullptr), aErrParam);
}

TEST_F(EntityOnSimulator, UnsolicitedRepliesAreAwaitedOrDrained) {
  requestOutsideTheEntity(kSerialOption);
  uint32_t value = 0;
  EXPECT_EQ(system.awaitUEI32Val(kSerialOption, &value, 0), aErrNone);
  EXPECT_EQ(value, kDirectSerial);

  requestOutsideTheEntity(kSerialOption);
  requestOutsideTheEntity(kSerialOption);
  requestOutsideTheEntity(kUptimeOption);
  barrier();
  EXPECT_EQ(system.drainUEI(kSerialOption), aErrNone);
  EXPECT_EQ(system.awaitUEI32Val(kUptimeOption, &value, 0), aErrNone) << "other options stay queued";
  value = 7;
  const auto start = Clock::now();
  EXPECT_EQ(system.awaitUEI32Val(kSerialOption, &value, 0), aErrTimeout);
  EXPECT_GE(ElapsedMs(start), 950);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(system.awaitUEI32Val(kSerialOption, nullptr, 0), aErrParam);
}

TEST_F(EntityOnSimulator, AStreamedValueIsFreshOnceThenStaleWithoutAskingTheDevice) {
  ASSERT_EQ(system.setStreamEnabled(true), aErrNone);
  StreamStatusEntry entries[64];
  size_t filled = 0;
  // Samples of the model and the serial number have both arrived.
  auto streamed = [&](uint8_t option) {
    for (size_t i = 0; i < filled; ++i) {
      if (Link::getStreamKeyElement(entries[i].key, Link::kSTREAM_KEY_OPTION) == option) return true;
    }
    return false;
  };
  ASSERT_TRUE(Eventually([&] {
    return system.getStreamStatus(entries, 64, &filled) == aErrNone && streamed(kModelOption) &&
           streamed(kSerialOption);
  })) << "no samples arrived";
  for (size_t i = 0; i < filled; ++i) {
    EXPECT_EQ(Link::getStreamKeyElement(entries[i].key, Link::kSTREAM_KEY_MODULE), kDirectAddress);
    EXPECT_EQ(Link::getStreamKeyElement(entries[i].key, Link::kSTREAM_KEY_COMMAND), kSystem);
    EXPECT_EQ(Link::getStreamKeyElement(entries[i].key, Link::kSTREAM_KEY_INDEX), 0);
  }

  // Both reads come well within one sample period (300 ms).
  const size_t sent = sim.packetsFromHost();
  uint8_t model = 0;
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone);
  EXPECT_EQ(model, kDirectModel);
  model = 0;
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrStreamStale);
  EXPECT_EQ(model, kDirectModel) << "a stale value is still written";
  uint32_t serial = 0;
  EXPECT_EQ(system.getUEI32(kSerialOption, &serial), aErrNone);
  EXPECT_EQ(serial, kDirectSerial);
  EXPECT_EQ(sim.packetsFromHost(), sent) << "the device was not asked";

  ASSERT_EQ(system.setStreamEnabled(false), aErrNone);
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone);
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone) << "asked again, never stale";
  EXPECT_EQ(system.getStreamStatus(entries, 64, &filled), aErrNone);
  EXPECT_EQ(filled, 0u);
}

TEST_F(EntityOnSimulator, AnOptionCallbackSeesEverySampleOfThatOption) {
  struct Seen {
    std::atomic<int> uptime{0};
    std::atomic<int> other{0};
  } seen;
  auto callback = [](const aPacket* packet, void* context) -> uint8_t {
    Seen* s = static_cast<Seen*>(context);
    uint32_t value = 0;
    const bool uptime = packet->data[0] == kSystem && (packet->data[1] & UEI_OPTION_MASK) == kUptimeOption &&
                        Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;
    (uptime ? s->uptime : s->other)++;
    return 0;
  };
  ASSERT_EQ(system.registerOptionCallback(kUptimeOption, true, callback, &seen), aErrNone);
  EXPECT_TRUE(Eventually([&] { return seen.uptime.load() >= 2; }));
  ASSERT_EQ(system.registerOptionCallback(kUptimeOption, false, callback, &seen), aErrNone);
  EXPECT_EQ(seen.other.load(), 0);
}

TEST(EntityUnbound, EveryDeviceOperationNeedsAModuleWithALink) {
  EntityClass entity;
  uint8_t byte = 0;
  uint32_t word = 0;
  uint8_t buffer[8];
  size_t received = 5;
  uei record{};
  StreamStatusEntry entries[2];
  EXPECT_EQ(entity.getUEI8(1, &byte), aErrResource);
  EXPECT_EQ(entity.getUEI32(1, 0, &word), aErrResource);
  EXPECT_EQ(entity.getUEI(1, &record), aErrResource);
  EXPECT_EQ(entity.setUEI8(1, 1), aErrResource);
  EXPECT_EQ(entity.setUEI(1, 0, &record), aErrResource);
  EXPECT_EQ(entity.callUEI(1), aErrResource);
  EXPECT_EQ(entity.setUEIBytes(1, buffer, sizeof buffer), aErrResource);
  EXPECT_EQ(entity.getUEIBytes(1, buffer, sizeof buffer, &received), aErrResource);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(entity.awaitUEI32Val(1, &word, 0), aErrResource);
  EXPECT_EQ(entity.drainUEI(1), aErrResource);
  EXPECT_EQ(entity.sendPacket(1, 0, nullptr), aErrResource);
  EXPECT_EQ(entity.receivePacket(buffer, &byte, buffer), aErrResource);
  EXPECT_EQ(entity.setStreamEnabled(true), aErrResource);
  EXPECT_EQ(entity.registerOptionCallback(1, true, nullptr, nullptr), aErrResource);
  EXPECT_EQ(entity.getStreamStatus(entries, 2, &received), aErrResource);
  EXPECT_EQ(entity.init(nullptr, 3, 0), aErrParam);
  EXPECT_EQ(entity.getUEI8(1, &byte), aErrResource);

  // Bound to a module that is not connected: the link refuses.
  Module module(2, 0);
  ASSERT_EQ(entity.init(&module, 3, 0), aErrNone);
  EXPECT_EQ(entity.getUEI8(1, &byte), aErrConnection);
  EXPECT_EQ(entity.setUEI8(1, 1), aErrConnection);
}

TEST(EntityBytesCheck, TurnsByteCountsIntoWholeElements) {
  size_t count = 12;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 3u);
  count = 6;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), 1);
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 0), aErrParam);
}

}  // namespace

// EntityClass against the device simulator: typed values, refusals, multi-packet values,
// unsolicited replies and streamed values.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EntityClass.h"
#include "FakeModule.h"
#include "FastClock.h"
#include "LinkStreams.h"
#include "ModuleTestSupport.h"
#include "SystemClass.h"

using namespace moduletest;
using Tessaron::Axonforge::EntityClass;
using Tessaron::Axonforge::Link;
using Tessaron::Axonforge::LinkStreams;
using Tessaron::Axonforge::StreamStatusEntry;
using Tessaron::Axonforge::SystemClass;

namespace {

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
    module = ConnectedModule(sim, kDirectSerial);
    ASSERT_EQ(system.init(module.get(), 0), aErrNone);
  }

  // A get of the system entity sent past the entity, as another party would.
  void requestElsewhere(uint8_t option) {
    uei request{};
    request.module = kDirectAddress;
    request.command = SystemClass::kCommand;
    request.option = option | UEI_OPTION_GET;
    request.specifier = UEI_SPECIFIER_REPLY;
    ASSERT_EQ(module->getLink()->sendUEI(request), aErrNone);
  }

  // An echo round trip: replies to everything asked before it are queued by then.
  void barrier() {
    const uint8_t marker[] = {0x42};
    ASSERT_EQ(module->debug(marker, sizeof marker), aErrNone);
  }

  Simulator sim{{std::string(kDirectModule) + ",id=11111111:22222222:33333333:44444444"}};
  std::unique_ptr<Module> module;
  SystemClass system;
};

TEST_F(EntityOnSimulator, TypedValuesSubindicesAndRefusals) {
  uint16_t narrow = 0;
  EXPECT_EQ(system.getUEI16(kSerialOption, &narrow), aErrNone);
  EXPECT_EQ(narrow, 0xABCD) << "a wider reply is narrowed to the getter";
  uint32_t word = 0;
  EXPECT_EQ(system.getUEI32(kIdentifierOption, 2, &word), aErrNone);
  EXPECT_EQ(word, 0x33333333u);
  EXPECT_EQ(sim.sentByHost("06 04 03 67 20 02"), 1u) << "the subindex travels as the value byte";

  word = 0xDEADBEEF;
  EXPECT_EQ(system.getUEI32(kIdentifierOption, 4, &word), aErrIndexRange);
  EXPECT_EQ(system.getUEI32(44, &word), aErrInvalidOption);
  EXPECT_EQ(word, 0xDEADBEEFu) << "a refusal leaves the output alone";
  EXPECT_EQ(system.setUEI32(kIdentifierOption, 1, 0x12345678), aErrInvalidOption);
  EXPECT_EQ(sim.sentByHost("06 08 03 A7 20 01 12 34 56 78"), 1u);
  EXPECT_EQ(system.setUEI16(3, 0x0102), aErrParam) << "a 16-bit value for a byte option";
  EXPECT_EQ(system.callUEI(kModelOption), aErrInvalidOption);

  // The acknowledgement replaces the record's value with the one the device holds.
  uei record{};
  record.type = UEI_TYPE_BYTE;
  record.value.byteVal = 5;
  ASSERT_EQ(system.setUEI(4, &record), aErrNone);
  EXPECT_EQ(record.value.byteVal, 1);
}

TEST_F(EntityOnSimulator, BytesValuesStopAtTheFirstChunkThatDoesNotFit) {
  const std::vector<uint8_t> name = Pattern(30);  // chunks of 24 and 6 bytes
  ASSERT_EQ(system.setUEIBytes(kNameOption, name.data(), name.size()), aErrNone);
  std::vector<uint8_t> buffer(64, 0);
  size_t received = 99;
  EXPECT_EQ(system.getUEIBytes(kNameOption, buffer.data(), 10, &received), aErrMemory);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(system.getUEIBytes(kNameOption, buffer.data(), 25, &received), aErrMemory);
  ASSERT_EQ(received, 24u);
  EXPECT_TRUE(std::equal(name.begin(), name.begin() + 24, buffer.begin()));

  // The chunks left over from the refused reads must not leak into the next one.
  barrier();
  std::vector<uint8_t> renamed = Pattern(40);
  std::reverse(renamed.begin(), renamed.end());
  ASSERT_EQ(system.setUEIBytes(kNameOption, renamed.data(), renamed.size()), aErrNone);
  ASSERT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrNone);
  ASSERT_EQ(received, 40u);
  EXPECT_TRUE(std::equal(renamed.begin(), renamed.end(), buffer.begin()));
  EXPECT_EQ(system.getUEIBytes(kNameOption, buffer.data(), 0, &received), aErrParam);
}

TEST_F(EntityOnSimulator, AChunkOutOfSequenceIsIgnoredUntilTheTimeOut) {
  const std::vector<uint8_t> name = Pattern(60);  // chunks of 24, 24 and 12 bytes
  ASSERT_EQ(system.setUEIBytes(kNameOption, name.data(), name.size()), aErrNone);
  devsim::FaultSpec corrupt;  // inverts the second chunk's trailer: sequence 1 becomes 126
  corrupt.type = devsim::FaultSpec::Type::Corrupt;
  corrupt.count = 2;
  corrupt.value = 29;
  ASSERT_TRUE(sim.sim().addFault(kDirectSerial, corrupt));

  std::vector<uint8_t> buffer(64, 0);
  size_t received = 0;
  std::shared_ptr<FastClock> clock = FastClock::Make();
  module->getLink()->setClock(clock);
  const uint64_t start = clock->nowMs();
  EXPECT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrTimeout);
  EXPECT_GE(clock->nowMs() - start, 950u);
  EXPECT_EQ(received, 24u);
  module->getLink()->setClock(nullptr);
  ASSERT_EQ(system.getUEIBytes(kNameOption, buffer.data(), buffer.size(), &received), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + received), name);
}

TEST_F(EntityOnSimulator, UnsolicitedRepliesAreAwaitedOrDrained) {
  requestElsewhere(kSerialOption);
  uint32_t value = 0;
  EXPECT_EQ(system.awaitUEI32Val(kSerialOption, &value, 0), aErrNone);
  EXPECT_EQ(value, kDirectSerial);

  requestElsewhere(kSerialOption);
  requestElsewhere(kUptimeOption);
  barrier();
  EXPECT_EQ(system.drainUEI(kSerialOption), aErrNone);
  EXPECT_EQ(system.awaitUEI32Val(kUptimeOption, &value, 0), aErrNone) << "other options stay queued";
  module->getLink()->setClock(FastClock::Make());
  EXPECT_EQ(system.awaitUEI32Val(kSerialOption, &value, 0), aErrTimeout);
}

TEST_F(EntityOnSimulator, AStreamedValueIsFreshOnceThenStaleWithoutAskingTheDevice) {
  ASSERT_EQ(system.setStreamEnabled(true), aErrNone);
  StreamStatusEntry entries[64];
  size_t filled = 0;
  auto streamed = [&](uint8_t option) {
    for (size_t i = 0; i < filled; ++i) {
      if (LinkStreams::getStreamKeyElement(entries[i].key, LinkStreams::kSTREAM_KEY_OPTION) == option) return true;
    }
    return false;
  };
  ASSERT_TRUE(Eventually([&] {
    return system.getStreamStatus(entries, 64, &filled) == aErrNone && streamed(kModelOption) &&
           streamed(kSerialOption);
  })) << "no samples arrived";

  // Both reads come well within one sample period (300 ms).
  const size_t sent = sim.sentByHost();
  uint8_t model = 0;
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone);
  EXPECT_EQ(model, kDirectModel);
  model = 0;
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrStreamStale);
  EXPECT_EQ(model, kDirectModel) << "a stale value is still written";
  uint32_t serial = 0;
  EXPECT_EQ(system.getUEI32(kSerialOption, &serial), aErrNone);
  EXPECT_EQ(serial, kDirectSerial);
  EXPECT_EQ(sim.sentByHost(), sent) << "the device was not asked";

  ASSERT_EQ(system.setStreamEnabled(false), aErrNone);
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone);
  EXPECT_EQ(system.getUEI8(kModelOption, &model), aErrNone) << "asked again, never stale";
}

TEST(EntityScripted, AStreamSampleOfTheSameOptionIsNoChunkOfTheValue) {
  using linktest::WirePacket;
  linktest::FakeModule fake(kDirectAddress);
  fake.setHandler([](const WirePacket&) -> std::vector<WirePacket> {
    return {{kDirectAddress, {SystemClass::kCommand, kNameOption, 0x40, 'Z', 'Z', 'Z', 0x80}},  // bytes stream
            {kDirectAddress, {SystemClass::kCommand, kNameOption, 0x00, 'a', 'b', 'c', 0x00}}};
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(fake.spec()), aErrNone);
  SystemClass system;
  ASSERT_EQ(system.init(&module, 0), aErrNone);
  uint8_t buffer[16];
  size_t received = 0;
  ASSERT_EQ(system.getUEIBytes(kNameOption, buffer, sizeof buffer, &received), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), received), "abc");
}

TEST(EntityUnbound, EveryDeviceOperationNeedsAModuleWithALink) {
  EntityClass entity;
  uint8_t byte = 0;
  uint8_t buffer[8];
  size_t received = 5;
  EXPECT_EQ(entity.getUEI8(1, &byte), aErrResource);
  EXPECT_EQ(entity.setUEI8(1, 1), aErrResource);
  EXPECT_EQ(entity.getUEIBytes(1, buffer, sizeof buffer, &received), aErrResource);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(entity.drainUEI(1), aErrResource);
  EXPECT_EQ(entity.setStreamEnabled(true), aErrResource);
  EXPECT_EQ(entity.init(nullptr, 3, 0), aErrParam);

  Module module(2, 0);
  ASSERT_EQ(entity.init(&module, 3, 0), aErrNone);
  EXPECT_EQ(entity.getUEI8(1, &byte), aErrConnection) << "bound, but the link is not connected";

  size_t count = 12;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 3u);
  count = 6;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), 1);
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 0), aErrParam);
}

}  // namespace

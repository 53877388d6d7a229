// The link engine against the device simulator, over TCP on 127.0.0.1 and over a
// pseudo-terminal serial port.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "DevSim.h"
#include "UsbModuleSim.h"
#include "aLink.h"
#include "aLinkRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint8_t kModel = 17;
constexpr uint8_t kAddress = 6;
constexpr uint8_t kSystemCommand = 3;

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

// Readable one-byte system options and the value the simulator reports for each.
struct Option {
  uint8_t code;
  uint8_t value;
};
const Option kOptions[] = {{1, kAddress}, {8, kModel}, {14, kAddress}, {13, 0}, {29, 1}};

// A UEI get of a system option, as the host sends it: command, option | get, index | reply.
Packet getRequest(uint8_t option) {
  const uint8_t data[3] = {kSystemCommand, uint8_t(0x40 | option), 0x20};
  return Packet(aPacket_CreateWithData(kAddress, sizeof data, data));
}

// The reply to a get: from the module, same command, plain option code, entity 0.
struct ReplyMatch {
  uint8_t option;
  static uint8_t filter(const aPacket* packet, void* reference) {
    const auto* match = static_cast<const ReplyMatch*>(reference);
    return packet->address == kAddress && packet->dataSize >= 3 && packet->data[0] == kSystemCommand &&
           packet->data[1] == match->option && (packet->data[2] & 0x1F) == 0;
  }
};

bool isReplyTo(const aPacket* packet, const Option& option) {
  return packet->address == kAddress && packet->dataSize == 4 && packet->data[0] == kSystemCommand &&
         packet->data[1] == option.code && packet->data[3] == option.value;
}

bool waitForStatus(uint32_t id, uint32_t status, int timeoutMs) {
  auto deadline = Clock::now() + milliseconds(timeoutMs);
  while (aLink_GetStatus(id) != status && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  return aLink_GetStatus(id) == status;
}

class LinkWithDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    devsim::ModuleSpec module;
    module.serial = kSerial;
    module.model = kModel;
    module.address = kAddress;
    module.tcpPort = 0;
    module.serialPty = true;
    module.heartbeatInterval = 1;  // every 100 ms
    devsim::DevSimConfig config;
    config.modules.push_back(module);
    sim = std::make_unique<devsim::DevSim>(config);
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
  }
  void TearDown() override {
    if (id != 0) aLink_Destroy(&id);
    sim->stop();
  }
  void openTcp() {
    id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sim->tcpPort(kSerial));
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
  }
  void openSerial() {
    id = aLink_CreateSerial(kSerial, sim->serialPortPath(kSerial).c_str(), 115200);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
  }

  // Keeps `window` requests in flight and checks that every reply arrives, in request order.
  void exchangeInOrder(int count, int window) {
    int sent = 0, received = 0;
    while (received < count) {
      while (sent < count && sent - received < window) {
        Packet request = getRequest(kOptions[sent % 5].code);
        ASSERT_EQ(aLink_PutPacket(id, request.get()), aErrNone);
        sent++;
      }
      Packet reply(aLink_AwaitPacket(id, 2000));
      ASSERT_TRUE(reply) << "reply " << received << " lost";
      ASSERT_TRUE(isReplyTo(reply.get(), kOptions[received % 5]))
          << "reply " << received << " out of order: option " << int(reply->data[1]);
      received++;
    }
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
  }

  // One request and its reply, picked out by a filter; false when none came.
  bool roundTrip(const Option& option) {
    Packet request = getRequest(option.code);
    if (aLink_PutPacket(id, request.get()) != aErrNone) return false;
    ReplyMatch match{option.code};
    Packet reply(aLink_AwaitFirst(id, ReplyMatch::filter, &match, 1000));
    return reply && isReplyTo(reply.get(), option);
  }

  std::unique_ptr<devsim::DevSim> sim;
  uint32_t id = 0;
};

}  // namespace

TEST_F(LinkWithDevice, TcpLinkExchangesThousandsOfRepliesWithoutLossOrReordering) {
  openTcp();
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  exchangeInOrder(3000, 8);
  uint8_t address = 0, model = 0;
  EXPECT_EQ(aLink_QueryModuleAddress(id, &address), aErrNone);
  EXPECT_EQ(address, kAddress);
  EXPECT_EQ(aLink_QueryModel(id, kAddress, &model), aErrNone);
  EXPECT_EQ(model, kModel);
}

TEST_F(LinkWithDevice, PooledTcpLinkKeepsOrderToo) {
  openTcp();
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  exchangeInOrder(2000, 32);
}

TEST_F(LinkWithDevice, SerialLinkOverAPseudoTerminal) {
  openSerial();
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  exchangeInOrder(1000, 4);
}

TEST_F(LinkWithDevice, SecondRequestForTheSameDeviceSharesTheLink) {
  openTcp();
  uint32_t again = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sim->tcpPort(kSerial));
  EXPECT_EQ(again, id);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  EXPECT_TRUE(roundTrip(kOptions[1]));
}

TEST_F(LinkWithDevice, AnswersHeartbeatsAndKeepsThemFromCallers) {
  openTcp();
  std::this_thread::sleep_for(milliseconds(700));
  devsim::ModuleStatus status;
  ASSERT_TRUE(sim->status(kSerial, &status));
  EXPECT_GE(status.heartbeatsAnswered, 3u) << "both values, 0 and 1";
  EXPECT_EQ(status.heartbeatsWrong, 0u);
  EXPECT_EQ(status.heartbeatsMissed, 0u);
  EXPECT_TRUE(status.routed);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LinkWithDevice, ResynchronisesAfterGarbageOnTheWire) {
  openTcp();
  ASSERT_TRUE(roundTrip(kOptions[0]));
  devsim::FaultSpec garbage;
  garbage.type = devsim::FaultSpec::Type::Corrupt;
  garbage.count = 3;  // the third packet from now has its address byte inverted
  garbage.value = 0;
  ASSERT_TRUE(sim->addFault(kSerial, garbage));
  int failures = 0, successes = 0;
  for (int attempt = 0; attempt < 200 && successes < 50; ++attempt) {
    if (roundTrip(kOptions[attempt % 5])) {
      successes++;
    } else {
      failures++;
      EXPECT_TRUE(waitForStatus(id, LINK_RUNNING, 3000)) << "no resync";
    }
  }
  EXPECT_EQ(successes, 50);
  EXPECT_GE(failures, 1);
  EXPECT_LE(failures, 5);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
}

TEST_F(LinkWithDevice, NoticesADroppedConnection) {
  openTcp();
  ASSERT_TRUE(roundTrip(kOptions[0]));
  sim->stop();  // connection closed and nobody listening any more
  EXPECT_TRUE(waitForStatus(id, LINK_IO_ERROR, 5000)) << "status " << aLink_GetStatus(id);
  EXPECT_FALSE(roundTrip(kOptions[0]));
}

TEST_F(LinkWithDevice, ResetReopensTheConnectionOrReportsWhyItCannot) {
  openTcp();
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  EXPECT_TRUE(roundTrip(kOptions[1]));

  sim->stop();
  EXPECT_EQ(aLink_Reset(id), aErrConnection);  // after 20 attempts
  EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
  EXPECT_FALSE(roundTrip(kOptions[1]));
}

namespace {

// The same module reached over USB, through the libusb stand-in the tests are linked with.
class UsbLinkWithDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    usb = std::make_unique<UsbModuleSim>(kSerial, kModel, kAddress);
    ASSERT_EQ(usb->error(), "");
  }
  void TearDown() override {
    if (id != 0) aLink_Destroy(&id);
    usb.reset();
  }
  std::unique_ptr<UsbModuleSim> usb;
  uint32_t id = 0;
};

}  // namespace

TEST_F(UsbLinkWithDevice, CreatesSynchronisesSharesAndNoticesUnplugging) {
  id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
  uint8_t model = 0;
  EXPECT_EQ(aLink_QueryModel(id, kAddress, &model), aErrNone);
  EXPECT_EQ(model, kModel);

  uint32_t shared = aLink_CreateUSB(kSerial);
  EXPECT_EQ(shared, id);
  EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);

  ASSERT_TRUE(usb->sim().setUsbPlugged(kSerial, false));
  EXPECT_TRUE(waitForStatus(id, LINK_IO_ERROR, 10000)) << "status " << aLink_GetStatus(id);
}

// An idle USB link's reader always has a transfer in flight; destroying the link cancels it,
// releases the device and leaves it ready for the next link, again and again.
TEST_F(UsbLinkWithDevice, ClosingWithAReadInFlightFreesTheDeviceForTheNextLink) {
  for (int round = 0; round < 3; ++round) {
    id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0u) << "round " << round;
    uint8_t model = 0;
    EXPECT_EQ(aLink_QueryModel(id, kAddress, &model), aErrNone);
    EXPECT_EQ(model, kModel);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_FALSE(aLinkRegistry_FindByIdentifier(kSerial));
  }
}

TEST_F(UsbLinkWithDevice, AbsentDeviceGivesNoLink) {
  EXPECT_EQ(aLink_CreateUSB(0x0BADF00D), 0u);
  EXPECT_FALSE(aLinkRegistry_FindByIdentifier(0x0BADF00D));
}

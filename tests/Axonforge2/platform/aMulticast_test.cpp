// Multicast sockets on the loopback interface, inside a private network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <string>

#include "Netns.h"
#include "aMulticast.h"

namespace {

constexpr const char* kGroup = "224.0.0.7";
constexpr uint16_t kPort = 9871;

TEST(Multicast, SenderReachesReceiverAndAPortHasOneReceiver) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  aMulticast* receiver = aMulticast_Create(htonl(INADDR_LOOPBACK), kGroup, kPort, false);
  ASSERT_NE(receiver, nullptr);
  EXPECT_EQ(aMulticast_Create(htonl(INADDR_LOOPBACK), kGroup, kPort, false), nullptr);  // port taken
  aMulticast* sender = aMulticast_Create(0, kGroup, kPort, true);  // interface 0: loopback
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(aMulticast_Send(sender, "ping", 4), 4);
  char buffer[16] = {0};
  ASSERT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(aMulticast_Send(receiver, "x", 1), aMULTICAST_WRONG_ROLE);
  EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), aMULTICAST_WRONG_ROLE);
  EXPECT_EQ(aMulticast_Destroy(&sender), 0);
  EXPECT_EQ(sender, nullptr);
  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
  receiver = aMulticast_Create(htonl(INADDR_LOOPBACK), kGroup, kPort, false);  // the port is free again
  EXPECT_NE(receiver, nullptr);
  aMulticast_Destroy(&receiver);
}

TEST(Multicast, ReceiveGivesUpAfterASecond) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  aMulticast* receiver = aMulticast_Create(0, kGroup, kPort + 1, false);
  ASSERT_NE(receiver, nullptr);
  char buffer[4];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), aMULTICAST_ERROR);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
  aMulticast_Destroy(&receiver);
}

TEST(Multicast, NullAndBadArguments) {
  char buffer[4];
  EXPECT_EQ(aMulticast_Send(nullptr, "x", 1), aMULTICAST_NO_SOCKET);
  EXPECT_EQ(aMulticast_Receive(nullptr, buffer, 4), aMULTICAST_NO_SOCKET);
  EXPECT_EQ(aMulticast_Destroy(nullptr), aMULTICAST_NO_SOCKET);
  aMulticast* none = nullptr;
  EXPECT_EQ(aMulticast_Destroy(&none), aMULTICAST_NO_SOCKET);
  EXPECT_EQ(aMulticast_Create(0, "not an address", kPort, true), nullptr);
  EXPECT_EQ(aMulticast_Create(0, nullptr, kPort, true), nullptr);
}

}  // namespace

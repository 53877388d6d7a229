// The network module query responder. It uses UDP multicast, so the test runs itself again
// inside a private network namespace (tests/support/netns-run) and only there talks to it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "ChildProgram.h"
#include "DiscoveryResponder.h"
#include "Netns.h"
#include "SimFixture.h"

using namespace devsimtest;

namespace {

const char* kInsideMarker = "NETNS_RUN_INSIDE";

// Runs this very test again inside a namespace; its exit status (77 when none can be made) and
// what it printed.
int RunInNamespace(const std::string& testName, std::string* output) {
  std::string log = ::testing::TempDir() + "devsim_netns_" + std::to_string(getpid()) + ".log";
  std::string command = std::string(PROJECT_SOURCE_DIR) + "/tests/support/netns-run " +
                        ChildShellCommand({SelfPath()}) + " --gtest_filter=" + testName + " > " + log + " 2>&1";
  int status = std::system(command.c_str());
  std::ifstream in(log);
  output->assign(std::istreambuf_iterator<char>(in), {});
  unlink(log.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int UdpSocket(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  return fd;
}

void AnswersQueriesInside() {
  RunningSim sim({"serial=0x1234ABCD,model=15,address=6,tcp=0,hb=0", "serial=0x0000BEEF,model=5,address=2,tcp=0,hb=0",
                  "serial=0x00000C0C,model=13,address=8,behind=0x1234ABCD"},
                 [](devsim::DevSimConfig& c) {
                   c.discovery = true;
                   c.bindAddress = "0.0.0.0";
                 });
  ASSERT_TRUE(sim.started());
  int listener = UdpSocket(devsim::kDiscoveryReplyPort);
  int sender = UdpSocket(0);
  in_addr interface{};
  inet_pton(AF_INET, "10.231.0.1", &interface);  // the namespace's own veth address
  ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface), 0);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(devsim::kDiscoveryQueryPort);
  inet_pton(AF_INET, devsim::kDiscoveryGroup, &group.sin_addr);
  uint8_t query[16] = {1};
  ASSERT_EQ(sendto(sender, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 16);

  std::map<uint32_t, std::vector<uint8_t>> replies;
  for (int i = 0; i < 2; ++i) {
    uint8_t reply[64];
    ssize_t n = recv(listener, reply, sizeof reply, 0);
    ASSERT_EQ(n, 16) << "two TCP modules answer";
    uint32_t serial = reply[4] | reply[5] << 8 | reply[6] << 16 | static_cast<uint32_t>(reply[7]) << 24;
    replies[serial].assign(reply, reply + n);
  }
  const auto& hub = replies.at(0x1234ABCD);
  EXPECT_EQ(hub[1], 6);
  EXPECT_EQ(hub[2] | hub[3] << 8, sim.sim().tcpPort(0x1234ABCD));
  EXPECT_EQ(hub[12], 15);
  EXPECT_EQ(replies.at(0xBEEF)[1], 2);
  uint8_t extra[64];
  timeval shortWait{0, 300000};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
  EXPECT_LT(recv(listener, extra, sizeof extra, 0), 0) << "the module behind the router does not answer";
  close(listener);
  close(sender);

  devsim::DevSimConfig second = ConfigFor({"serial=0x77,tcp=0,hb=0"});
  second.discovery = true;
  ExpectRefused(second, "cannot bind the discovery port 9888");
}

TEST(Discovery, AnswersANetworkModuleQueryInsideANamespace) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  if (std::getenv(kInsideMarker)) {
    AnswersQueriesInside();
    return;
  }
  std::string output;
  int status = RunInNamespace("Discovery.AnswersANetworkModuleQueryInsideANamespace", &output);
  if (status == 77) GTEST_SKIP() << "no network namespace can be made here";
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

TEST(Discovery, ReplyDatagramLayout) {
  std::vector<uint8_t> d = devsim::EncodeDiscoveryReply({6, 0x1F90, 0x1234ABCD, 17});
  EXPECT_EQ(d, (std::vector<uint8_t>{2, 6, 0x90, 0x1F, 0xCD, 0xAB, 0x34, 0x12, 0, 0, 0, 0, 17, 0, 0, 0}));
  uint8_t query[16] = {1};
  EXPECT_TRUE(devsim::IsDiscoveryQuery(query, 16));
  query[0] = 2;
  EXPECT_FALSE(devsim::IsDiscoveryQuery(query, 16));
}

}  // namespace

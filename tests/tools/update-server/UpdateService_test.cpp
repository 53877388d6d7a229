#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "TempDir.h"
#include "UpdateService.h"

namespace {

using Query = std::map<std::string, std::string>;

class UpdateServiceTest : public ::testing::Test {
 protected:
  UpdateServiceTest() {
    WriteTextFile(dir_ / "index.txt",
                  "device 40F5849A AF-USBHub3p\n"
                  "build AF-USBHub3p 1200 2.10.0 a.bird\n"
                  "build 40F5849A 1300 2.11.2 b.bird\n"
                  "build 40F5849A 900 2.9.0 gone.bird\n"
                  "fix 0A0B0C0D 11223344 55667788 99AABBCC 40F5849A 1300\n");
    WriteTextFile(dir_ / "a.bird", "bird\x01\x01 build a");
    WriteTextFile(dir_ / "b.bird", "bird\x01\x01 build b");
    WriteTextFile(dir_ / "gone.bird", "x");
    service_ = std::make_unique<UpdateService>(dir_.path(), FirmwareIndex::Load(dir_.path()));
  }

  ServiceReply Ask(const Query& query) { return service_->Handle(query); }

  TempDir dir_;
  std::unique_ptr<UpdateService> service_;
};

// The happy paths are exercised through the client against the running tool
// (UpdateServerTool_test); these are the answers that tool test does not reach.
TEST_F(UpdateServiceTest, CurrentBuildIsTheHighestNumberWithItsFile) {
  const ServiceReply reply = Ask({{"op", "qu"}, {"sn", "40F5849A"}});
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "ok\n1300\nb.bird\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "12345678"}}).body, "error: no builds for device 12345678\n");
}

TEST_F(UpdateServiceTest, UnknownOrUnreadableBuilds) {
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1400"}}).body,
            "error: no build '1400' for device 40F5849A\n");
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "01300"}}).status, 200);
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "01300"}}).body.rfind("error:", 0), 0u);
  ASSERT_EQ(unlink((dir_ / "gone.bird").c_str()), 0);
  const ServiceReply gone = Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "900"}});
  EXPECT_EQ(gone.status, 500);
  EXPECT_EQ(gone.body, "error: cannot read gone.bird\n");
}

TEST_F(UpdateServiceTest, RecoveryMapsFingerprintToSerialAndBuild) {
  EXPECT_EQ(Ask({{"op", "fix"}, {"fp", "0A0B0C0D 11223344 55667788 99AABBCC"}, {"brief", "true"}}).body,
            "ok\n40F5849A\n1300\n");
  EXPECT_EQ(Ask({{"op", "fix"}, {"fp", "0a0b0c0d 11223344 55667788 99aabbcc"}}).body, "ok\n40F5849A\n1300\n");
  EXPECT_EQ(Ask({{"op", "fix"}, {"fp", "00000000 11223344 55667788 99AABBCC"}}).body, "error: unknown fingerprint\n");
}

TEST_F(UpdateServiceTest, MalformedRequestsAreBadRequests) {
  const Query bad[] = {
      {},
      {{"op", "nope"}},
      {{"op", "qu"}},
      {{"op", "qu"}, {"sn", "40F5849"}},
      {{"op", "builds"}, {"sn", "40F5849AA"}},
      {{"op", "bird"}, {"sn", "zz"}, {"bld", "1300"}},
      {{"op", "fix"}, {"fp", "0A0B0C0D 11223344 55667788"}},
      {{"op", "fix"}, {"fp", "0A0B0C0D 11223344 55667788 99AABBCC 00000000"}},
      {{"op", "fix"}, {"fp", "0A0B0C0D%2011223344%2055667788%2099AABBCC"}},
  };
  for (const Query& query : bad) {
    const ServiceReply reply = Ask(query);
    EXPECT_EQ(reply.status, 400) << reply.body;
    EXPECT_EQ(reply.body.rfind("error: ", 0), 0u) << reply.body;
  }
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "Base64.h"
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
    WriteTextFile(dir_ / "b.bird", std::string("bird\x01\x01\0\xff build b", 16));
    WriteTextFile(dir_ / "gone.bird", "x");
    service_ = std::make_unique<UpdateService>(dir_.path(), FirmwareIndex::Load(dir_.path()));
  }

  ServiceReply Ask(const Query& query) { return service_->Handle(query); }

  TempDir dir_;
  std::unique_ptr<UpdateService> service_;
};

std::string Decode(const std::string& text) {
  unsigned int length = 0;
  std::unique_ptr<char, decltype(&std::free)> bytes(
      base64_decode(text.data(), static_cast<unsigned int>(text.size()), &length), &std::free);
  return bytes ? std::string(bytes.get(), length) : "<invalid>";
}

TEST_F(UpdateServiceTest, HelloAnswersOk) {
  const ServiceReply reply = Ask({{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "ok\n");
}

TEST_F(UpdateServiceTest, CurrentBuildIsTheHighestNumberWithItsFile) {
  const ServiceReply reply = Ask({{"op", "qu"}, {"sn", "40F5849A"}});
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "ok\n1300\nb.bird\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "12345678"}}).body, "error: no builds for device 12345678\n");
}

TEST_F(UpdateServiceTest, BuildListHasOneLinePerBuild) {
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "40f5849a"}}).body, "ok\n900;2.9.0\n1200;2.10.0\n1300;2.11.2\n");
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "12345678"}}).body, "ok\n");
}

TEST_F(UpdateServiceTest, BuildFileComesAsOneBase64Line) {
  const ServiceReply reply = Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1300"}, {"fw", "b.bird"}});
  EXPECT_EQ(reply.status, 200);
  ASSERT_EQ(reply.body.rfind("ok\n", 0), 0u);
  ASSERT_EQ(reply.body.back(), '\n');
  const std::string line = reply.body.substr(3, reply.body.size() - 4);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(Decode(line), std::string("bird\x01\x01\0\xff build b", 16));
  // The model's build reaches every device of the model.
  const ServiceReply model = Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1200"}});
  EXPECT_EQ(Decode(model.body.substr(3, model.body.size() - 4)), "bird\x01\x01 build a");
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

// Loading the image of an update: a named file, or a build from the store, downloaded on request.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "BirdRecipe.h"
#include "FirmwareFixture.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "UpdateProtocolServer.h"
#include "Updater.h"

namespace {

const uint32_t kSerial = 0x40F5849A;
const char kDeviceName[] = "40F5849A";
const char kClosedServer[] = "http://127.0.0.1:1/cgi/u";

class LoadBirdTest : public ::testing::Test {
 protected:
  LoadBirdTest() : firmware_(tmp_.path(), kSerial, 19, {{1300, "2.11.2"}}), store_(tmp_ / "updater") {}

  std::string DevicePath(const std::string& name) const { return store_ + "/" + kDeviceName + "/" + name; }
  // A build of the device placed in the store by hand.
  void StoreBuild(uint32_t build) {
    std::filesystem::create_directories(store_ + "/" + kDeviceName);
    BirdRecipe recipe;
    recipe.model = 19;
    recipe.build = build;
    recipe.firmwareSize = 1024;
    ASSERT_TRUE(WriteBirdFile(recipe, DevicePath(std::to_string(build) + ".bird")));
  }

  TempDir tmp_;
  FirmwareFixture firmware_;
  std::string store_;
  RecordingDisplay display_;
};

TEST_F(LoadBirdTest, ANamedFileIsLoadedWithoutTheStore) {
  BirdRecipe recipe;
  recipe.model = 19;
  recipe.build = 77;
  const std::string path = tmp_ / "given.bird";
  ASSERT_TRUE(WriteBirdFile(recipe, path));
  Updater updater(kClosedServer, store_, display_);

  BirdFile bird = updater.load_bird("Testing", path, kSerial, 0, false);
  EXPECT_EQ(bird.GetBuild(), 77u);
  EXPECT_EQ(display_.Infos(), std::vector<std::string>{"Testing from Birdfile: " + path});
  EXPECT_FALSE(std::filesystem::exists(store_ + "/" + kDeviceName));
  EXPECT_THROW(updater.load_bird("Testing", tmp_ / "absent.bird", kSerial, 0, false), std::runtime_error);
}

TEST_F(LoadBirdTest, AStoredBuildIsLoadedAndAMissingOneDownloadedOnlyWhenAllowed) {
  StoreBuild(1200);
  UpdateProtocolServer server(firmware_.Handler());
  Updater updater(server.Url(), store_, display_);

  EXPECT_EQ(updater.load_bird("Updating", "", kSerial, 1200, false).GetBuild(), 1200u);
  EXPECT_EQ(display_.Infos().back(), "Updating firmware with build: 1200");
  try {
    updater.load_bird("Updating", "", kSerial, 1300, false);
    ADD_FAILURE() << "a build missing from the store loads only with a download";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Error reading birdfile");
  }
  EXPECT_TRUE(server.Ops().empty()) << "nothing asked of the server without a download";

  EXPECT_EQ(updater.load_bird("Recovering", "", kSerial, 1300, true).GetBuild(), 1300u);
  EXPECT_TRUE(std::filesystem::exists(DevicePath("1300.bird")));
  const std::vector<std::string> infos = display_.Infos();
  EXPECT_NE(std::find(infos.begin(), infos.end(), "Downloading firmware build 1300"), infos.end());
}

}  // namespace

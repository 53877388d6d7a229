#include "UpdateScene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "BirdFile.h"
#include "FileInspection.h"
#include "KeyValueStore.h"
#include "UpdaterProcess.h"

namespace {

std::vector<std::string> SimArguments(const TempDir& work, const std::vector<std::string>& modules,
                                      const std::vector<std::string>& extra) {
  std::filesystem::create_directories(work / "flash");
  std::vector<std::string> args = {"--flash-dir", work / "flash"};
  for (const std::string& module : modules) {
    args.push_back("--module");
    args.push_back(module);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace

UpdateScene::UpdateScene(const std::vector<std::string>& modules, const std::vector<std::string>& extraArgs)
    : sim_(SimArguments(work_, modules, extraArgs)) {}

std::string UpdateScene::settingsPath(const std::string& serial) const {
  return work_ / ("store/updater/" + serial + "/.settings");
}

std::string UpdateScene::image(const BirdRecipe& recipe, const std::string& name) {
  std::string error;
  const std::string path = work_ / name;
  EXPECT_TRUE(WriteBirdFile(recipe, path, &error)) << error;
  return path;
}

ProcessResult UpdateScene::updater(const std::vector<std::string>& args, int timeoutMs) {
  return RunUpdater(store(), args, sim_.childEnvironment(), timeoutMs);
}

std::vector<uint8_t> UpdateScene::flash(const std::string& serial) {
  const std::string path = work_ / ("flash/" + serial + ".bin");
  for (int i = 0; i < 300 && !IsRegularFile(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string text = ReadTextFile(path);
  return {text.begin(), text.end()};
}

bool UpdateScene::flashWritten(const std::string& serial) const {
  return IsRegularFile(work_ / ("flash/" + serial + ".bin"));
}

std::vector<uint8_t> ExpectedFlash(const std::string& path, uint32_t serial) {
  BirdFile bird(path.c_str());
  if (bird.hasSerialOffsets) bird.ReplaceSerialNumber(serial);
  std::vector<uint8_t> image;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
    image.resize(block.address + block.length - 4, 0xFF);
    std::copy(block.data + 4, block.data + block.length, image.begin() + block.address);
  }
  return image;
}

std::string Setting(const std::string& settingsPath, const char* key) {
  KeyValueStore settings;
  if (settings.Load(settingsPath.c_str()) != aErrNone) return "";
  return settings.GetString(key, "");
}

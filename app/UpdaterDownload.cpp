#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Base64.h"
#include "BirdFile.h"
#include "BuildNumber.h"
#include "FileReplacer.h"
#include "Log.h"
#include "aDirectory.h"
#include "UpdateServerRequest.h"
#include "Updater.h"

namespace {

const char kSpinnerLabel[] = "Downloading";
const std::chrono::milliseconds kSpinnerPeriod(100);

using MallocBuffer = std::unique_ptr<char, decltype(&std::free)>;

// Why downloaded bytes are not a whole BIRD file (no signature, a body that does not inflate, a
// block cut off, data left over); empty when they are one.
std::string sBirdFileDamage(const char* data, unsigned int length) {
  const auto& signature = BirdFile::BIRD_FILE_SIGNATURE;
  if (length < sizeof signature || std::memcmp(data, signature, sizeof signature) != 0)
    return "the content is not a BIRD file";
  BirdFile bird;
  bird.path = "the downloaded file";
  bird.Parse(reinterpret_cast<const unsigned char*>(data), length);
  return bird.problem;
}

// Runs the build request on one worker thread while this thread turns the spinner every 100 ms.
// The worker writes only `content`, which is read here only after the worker is joined.
// The worker also writes `failure`, under the same rule.
bool sFetchBuild(UpdaterDisplayInterface& display, uint32_t serialNumber, const std::string& firmware,
                 const std::string& buildText, const std::string& url, bool noCal, std::string& content,
                 std::string& failure) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread worker(
      [&content, &failure, serialNumber, firmware, buildText, url, noCal](std::promise<bool> finished) {
        finished.set_value(UpdateServerRequest::GetBuild(serialNumber, firmware.c_str(), buildText.c_str(), content,
                                                          url.c_str(), noCal, &failure));
      },
      std::move(done));
  display.update_spinner(true, kSpinnerLabel);
  while (result.wait_for(kSpinnerPeriod) != std::future_status::ready) display.update_spinner(true, kSpinnerLabel);
  display.update_spinner(false, kSpinnerLabel);
  bool fetched = result.get();
  worker.join();
  return fetched;
}

// The version text of a stored BIRD file; "" when the entry is not a loadable BIRD file.
std::string sLocalVersion(const UpdaterStoreItem& item) {
  if (!item.IsValid()) return "";
  const std::string path = item.Path();
  if (!BirdFile::VerifyFile(path.c_str())) {
    Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
    return "";
  }
  try {
    std::string version = BirdFile(path.c_str()).GetVersion();
    if (!version.empty()) Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
    return version;
  } catch (const std::runtime_error& error) {
    // A damaged file is still listed, without a version.
    Log::log(DEBUG_Updater, "Could not load birdfile: %s (%s)\n", path.c_str(), error.what());
    return "";
  }
}

}  // namespace

uint32_t Updater::_build_from_text(const std::string& text) {
  uint32_t build = 0;
  if (!LeadingBuildNumber(text, build)) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return build;
}

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                          const std::string& storageDir, const char* callerName) {
  try {
    return std::make_unique<UpdaterStore>(storageDir.c_str());
  } catch (const std::runtime_error& error) {
    display.message(kError, "Failed to Create UpdaterStore in: %s - Exception: %s", callerName, error.what());
    return nullptr;
  }
}

bool Updater::_valid_build(uint32_t serialNumber, uint32_t build, const std::string& serverUrl) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str())) return false;
  for (const auto& entry : builds)
    if (_build_from_text(entry.first) == build) return true;
  return false;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& buildText, bool overrideModel,
                                    bool noCal) {
  chosenBuild = 0;
  uint32_t build = 0;
  if (!buildText.empty() && !WholeBuildNumber(buildText, build)) {
    display.message(kError, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(kError, "Serial Number must be non-zero");
    return 0;
  }
  std::string failure;
  if (!UpdateServerRequest::ping(serverUrl.c_str(), &failure)) {
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    display.cause(failure);
    return 0;
  }

  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "Download_Firmware");
  if (!store) return 0;
  // A device gets its store entry only with a file to put in it: a device or build the server
  // does not know leaves the store as it was.
  UpdaterStoreItem item;
  const bool known = store->FindDevice(serialNumber, &item);
  if (!known) Log::log(DEBUG_APP, "Could not find device in our update history.\n");

  std::string currentBuild, firmware;
  if (!UpdateServerRequest::QueryBuild(serialNumber, currentBuild, firmware, serverUrl.c_str(), &failure)) {
    display.message(kError, "No build information for device");
    display.cause(failure);
    return 0;
  }
  if (build == 0) build = _build_from_text(currentBuild);
  chosenBuild = build;

  display.message(kInfo, "Retrieving build %u", build);
  if (overrideModel) {
    display.message(kInfo, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(kInfo, "Validating build %u with server", build);
    if (!_valid_build(serialNumber, build, serverUrl)) {
      display.message(kError, "No valid build %u", build);
      return 0;
    }
    display.message(kInfo, "Build %u is valid", build);
  }

  std::string content;
  if (!sFetchBuild(display, serialNumber, firmware, std::to_string(build), serverUrl, noCal, content, failure)) {
    display.message(kError, "Download failed");
    display.cause(failure);
  }
  if (content.empty()) {
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  unsigned int length = 0;
  MallocBuffer data(base64_decode(content.data(), static_cast<unsigned int>(content.size()), &length), &std::free);
  // Only a whole BIRD file is stored and recorded as the latest download: a following update
  // would otherwise pick a file that does not load, or flash part of an image.
  const std::string damage = data ? sBirdFileDamage(data.get(), length) : "the content is not base64 text";
  if (!damage.empty()) {
    display.message(kError, "Failed to retrieve a valid BIRD file");
    display.cause(damage);
    return 0;
  }
  if (!known) {
    try {
      item = store->AddDevice(serialNumber);
    } catch (const std::runtime_error&) {
      display.message(kError, "Could not create directory for storing BIRD file");
      return 0;
    }
  }
  const std::string timeText = KeyValueStore::CurrentTimeText();
  const std::string fileName = UpdaterStoreItem::BuildFileName(build);
  int systemError = 0;
  aErr written =
      item.WriteFile(fileName.c_str(), reinterpret_cast<const unsigned char*>(data.get()), length, &systemError);
  if (written != aErrNone) {
    // A download that is not on disk must not be recorded as the latest one.
    display.message(kError, "Failed to write file with %d", static_cast<int>(written));
    display.cause(DescribeWriteFailure(BuildPath(item.Path().c_str(), fileName.c_str(), nullptr), systemError));
    return 0;
  }
  item.Settings().Add("LATEST_DOWNLOAD", fileName);
  item.Settings().Add("LAST_DOWNLOAD_DATE", timeText);
  item.Settings().Save();
  display.message(kInfo, "Stored build %u as %s", build, BuildPath(item.Path().c_str(), fileName.c_str(), nullptr).c_str());
  return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText, bool overrideModel) {
  uint32_t build = _build_from_text(buildText);
  unsigned int serial = 0, latestBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &latestBuild, serverUrl.c_str())) {
    display.message(kError, "Failed to retrieve recovery information from Tessaron update server");
    return 0;
  }
  if (build == 0) build = latestBuild;
  return Download_Firmware(serial, std::to_string(build), overrideModel, false);
}

bool Updater::Get_BuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds) {
  builds.clear();
  std::string failure;
  if (!UpdateServerRequest::ping(serverUrl.c_str(), &failure)) {
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    display.cause(failure);
    return false;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str(), &failure)) {
    display.message(kError, "Failed to retrieve builds for %08X", serialNumber);
    display.cause(failure);
    return false;
  }
  return true;
}

bool Updater::Get_BuildListLocal(uint32_t serialNumber, std::map<std::string, std::string>& builds) {
  builds.clear();
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "Get_BuildListLocal");
  if (!store) return false;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string& name = item.Name();
    // emplace keeps the first entry of a build: 1234.bird and 1234.bird.bak share the key.
    builds.emplace(name.substr(0, name.find(UpdaterStoreItem::kBuildFileExtension)), sLocalVersion(item));
  }
  return true;
}

void Updater::_display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                              uint32_t serialNumber) {
  if (builds.empty()) {
    display.message(kInfo, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(kInfo, "Build List for device [%08X]:\n", serialNumber);
  display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(kInfo, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}

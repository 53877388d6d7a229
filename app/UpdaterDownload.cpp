#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Base64.h"
#include "BirdFile.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"

namespace {

const int kInfo = UpdaterDisplayInterface::LEVEL_INFO;
const int kError = UpdaterDisplayInterface::LEVEL_ERROR;
const char kSpinnerLabel[] = "Downloading";
const std::chrono::milliseconds kSpinnerPeriod(100);

using MallocBuffer = std::unique_ptr<char, decltype(&std::free)>;

// The leading decimal digits of a text as a 32-bit number; false when there are none or they
// do not fit.
bool sLeadingDecimal(const std::string& text, uint32_t& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  try {
    unsigned long long number = std::stoull(text);
    if (number > std::numeric_limits<uint32_t>::max()) return false;
    value = static_cast<uint32_t>(number);
    return true;
  } catch (const std::out_of_range&) {
    return false;
  }
}

bool sHasBirdSignature(const char* data, unsigned int length) {
  const auto& signature = BirdFile::BIRD_FILE_SIGNATURE;
  return length >= sizeof signature && std::memcmp(data, signature, sizeof signature) == 0;
}

// A build number given by a caller: decimal digits only, within 32 bits.
bool sParseBuildText(const std::string& text, uint32_t& build) {
  return text.find_first_not_of("0123456789") == std::string::npos && sLeadingDecimal(text, build);
}

// Runs the build request on one worker thread while this thread turns the spinner every 100 ms.
// The worker writes only `content`, which is read here only after the worker is joined.
bool sFetchBuild(UpdaterDisplayInterface& display, uint32_t serialNumber, const std::string& firmware,
                 const std::string& buildText, const std::string& url, bool noCal, std::string& content) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread worker(
      [&content, serialNumber, firmware, buildText, url, noCal](std::promise<bool> finished) {
        finished.set_value(UpdateServerRequest::GetBuild(serialNumber, firmware.c_str(), buildText.c_str(), content,
                                                          url.c_str(), noCal));
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
  if (!sLeadingDecimal(text, build)) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
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
  uint32_t build = 0;
  if (!buildText.empty() && !sParseBuildText(buildText, build)) {
    display.message(kError, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(kError, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    return 0;
  }

  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem item;
  if (!store->FindDevice(serialNumber, &item)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      item = store->AddDevice(serialNumber);
    } catch (const std::runtime_error&) {
      display.message(kError, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string currentBuild, firmware;
  if (!UpdateServerRequest::QueryBuild(serialNumber, currentBuild, firmware, serverUrl.c_str())) {
    display.message(kError, "No build information for device");
    return 0;
  }
  if (build == 0) build = _build_from_text(currentBuild);

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
  if (!sFetchBuild(display, serialNumber, firmware, std::to_string(build), serverUrl, noCal, content))
    display.message(kError, "Download failed");
  if (content.empty()) {
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  unsigned int length = 0;
  MallocBuffer data(base64_decode(content.data(), static_cast<unsigned int>(content.size()), &length), &std::free);
  if (!data || !sHasBirdSignature(data.get(), length)) {
    // Text that is not base64, or bytes that are not a BIRD file, must not be stored and recorded
    // as the latest download: a following update would pick a file that cannot be loaded.
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  const std::string timeText = KeyValueStore::CurrentTimeText();
  const std::string fileName = UpdaterStoreItem::BuildFileName(build);
  aErr written = item.WriteFile(fileName.c_str(), reinterpret_cast<const unsigned char*>(data.get()), length);
  if (written != aErrNone) {
    // A download that is not on disk must not be recorded as the latest one.
    display.message(kError, "Failed to write file with %d", static_cast<int>(written));
    return 0;
  }
  item.Settings().Add("LATEST_DOWNLOAD", fileName);
  item.Settings().Add("LAST_DOWNLOAD_DATE", timeText);
  item.Settings().Save();
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

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serialNumber) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str()))
    display.message(kError, "Failed to retrieve builds for %08X", serialNumber);
  return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t serialNumber) {
  std::map<std::string, std::string> builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string& name = item.Name();
    // emplace keeps the first entry of a build: 1234.bird and 1234.bird.bak share the key.
    builds.emplace(name.substr(0, name.find(UpdaterStoreItem::kBuildFileExtension)), sLocalVersion(item));
  }
  return builds;
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

#include <stdexcept>
#include <vector>

#include "KeyValueStore.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"

using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

namespace {

const int kInfo = UpdaterDisplayInterface::LEVEL_INFO;
const int kError = UpdaterDisplayInterface::LEVEL_ERROR;
// After the loader start the device may come back as a new USB device: look for it this often.
const int kLoaderReturnAttempts = 15;
const uint32_t kLoaderReturnDelayMs = 1000;
const int kFirmwareBlockAttempts = 5;

// A device reached directly: over USB, or over TCP/IP when USB does not know it.
aErr sConnectBySerial(Module& module, uint32_t serialNumber) {
  aErr err = module.connect(USB, serialNumber);
  if (err == aErrNotFound) err = module.connect(TCPIP, serialNumber);
  return err;
}

// The device restarted into its loader and may have come back as a new USB device.
void sAwaitLoader(Module& target, uint32_t serialNumber) {
  for (int attempt = 0; attempt < kLoaderReturnAttempts; ++attempt) {
    target.disconnect();  // a failed attempt may still hold a link
    if (target.discoverAndConnect(USB, serialNumber) == aErrNone && target.isConnected()) return;
    aTime_MSSleep(kLoaderReturnDelayMs);
  }
}

// One firmware block, prepared and sent up to kFirmwareBlockAttempts times.
aErr sTransferFirmwareBlock(UpdaterDisplayInterface& display, UpdaterEntity& entity, const BirdBlock& block,
                            unsigned number, unsigned count) {
  aErr err = aErrNone;
  for (int attempt = 0; attempt < kFirmwareBlockAttempts; ++attempt) {
    display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", number, count,
                    static_cast<int>(block.length));
    if (attempt > 0) display.message(kInfo, "  Retry %d", attempt);
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
      return err;
    }
    err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
    if (err == aErrNone) return err;
    Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
  }
  return err;
}

}  // namespace

BirdFile Updater::load_bird(const std::string& purpose, const std::string& birdFile, uint32_t serialNumber,
                            uint32_t build, bool allowDownload) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "load_bird");
  if (!store) return BirdFile();
  if (!birdFile.empty()) {
    display.message(kInfo, "%s from Birdfile: %s", purpose.c_str(), birdFile.c_str());
    return BirdFile(birdFile.c_str());
  }
  UpdaterStoreItem item = store->AddDevice(serialNumber);
  display.message(kInfo, "%s firmware with build: %u", purpose.c_str(), build);
  const std::string name = UpdaterStoreItem::BuildFileName(build);
  try {
    return item.ReadBirdFile(name.c_str());
  } catch (const std::runtime_error&) {
    if (!allowDownload) throw std::runtime_error("Error reading birdfile");
  }
  display.message(kInfo, "Downloading firmware build %u", build);
  Download_Firmware(serialNumber, std::to_string(build), false, false);
  return item.ReadBirdFile(name.c_str());
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module,
                                 uint32_t serialNumber) {
  if (bird.blockCount == 0) return false;
  // An image without serial offsets is built for one device only.
  if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serialNumber)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t deviceSerial = 0;
  aErr err = system.getSerialNumber(&deviceSerial);
  if (err != aErrNone || deviceSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(kError, "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    return false;
  }
  return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    return err;
  }
  display.message(kInfo, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  unsigned sent = 0;
  uint32_t total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(kInfo, "Transferring loader block %u of %u, %d bytes", sent + 1,
                    static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
      break;
    }
    // A loader with a block missing must never be started: the first failed block ends it.
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
      break;
    }
    total += block.length;
    ++sent;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", static_cast<int>(sent), static_cast<int>(total));
  display.display_progress(false);
  if (err != aErrNone) return err;

  display.message(kInfo, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    return aErrNone;
  }
  if (err != aErrNone)
    display.message(kError, "Error starting loader [%d, %s]", static_cast<int>(err), aError_GetErrorText(err));
  return err;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                                 bool noRebootWait, bool probeUeiData) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, noRebootWait);
  // A device without the UEI bytes path simply gets data packets.
  if (probeUeiData && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  aErr err = aErrNone;
  unsigned sent = 0;
  uint32_t total = 0;
  for (const BirdBlock& block : blocks) {
    err = sTransferFirmwareBlock(display, entity, block, sent + 1, static_cast<unsigned>(blocks.size()));
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    ++sent;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", static_cast<int>(sent), static_cast<int>(total));
  if (err != aErrNone) return err;
  return entity.LoaderReboot(display);
}

uint32_t Updater::_choose_build(UpdaterStoreItem& item, uint32_t serialNumber, uint32_t build) {
  if (build == 0) {
    std::string buildText, firmwareText;
    UpdateServerRequest::QueryBuild(serialNumber, buildText, firmwareText, serverUrl.c_str());
    build = _build_from_text(buildText);
    if (build != 0) {
      // The newest build counts only when the store holds it: an update never downloads.
      try {
        item.ReadBirdFile(UpdaterStoreItem::BuildFileName(build).c_str());
      } catch (const std::runtime_error&) {
        build = 0;
        display.message(kInfo, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
      }
    }
  }
  if (build == 0) {
    build = static_cast<uint32_t>(item.Settings().GetInt("LATEST_DOWNLOAD", 0));
    if (build != 0) display.message(kInfo, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = static_cast<uint32_t>(item.Settings().GetInt("LATEST_TRANSFER", 0));
    if (build != 0) display.message(kInfo, "Updating with the Latest Transfer");
  }
  return build;
}

aErr Updater::_connect_target(Module& target, uint32_t serialNumber, uint32_t routerSerial) {
  aErr err = _disableEther(target, display);
  if (routerSerial == 0) {
    if (err == aErrNone) err = sConnectBySerial(target, serialNumber);
    if (err != aErrNone) display.message(kError, "Failed to connect to module [%08X]", serialNumber);
    return err;
  }
  if (target.getModuleAddress() == 0) {
    const std::vector<DeviceInfo> devices = Discover_AFNetwork_Devices(routerSerial, INVALID);
    if (devices.empty()) {
      display.message(kError, "Unable to find modules on Network");
      return aErrNotFound;
    }
    for (const DeviceInfo& device : devices)
      if (device.spec.serialNumber == serialNumber) target.setModuleAddress(static_cast<uint8_t>(device.scanAddress));
    if (target.getModuleAddress() == 0) {
      display.message(kError,
                      "Module address required for indirect firmware update, could not find serial number "
                      "[0x%08X] on network",
                      serialNumber);
      return aErrNotFound;
    }
  }
  // The router lends its link to the target and is released; the target keeps the connection.
  Module router(0, 0);
  if (err == aErrNone) err = _disableEther(router, display);
  if (err == aErrNone) err = sConnectBySerial(router, routerSerial);
  if (err != aErrNone) {
    display.message(kError, "Failed to connect to link module [%08X]", routerSerial);
    return err;
  }
  err = target.connectThroughLinkModule(router);
  if (err != aErrNone) display.message(kError, "Failed to connect to module [%08X]", serialNumber);
  return err;
}

void Updater::_record_transfer(UpdaterStore& store, UpdaterStoreItem& item, uint32_t serialNumber,
                               const std::string& birdFile) {
  // A device updated before it was ever in the store gets its entry now, so the transfer is
  // not forgotten.
  if (!item.IsValid()) {
    try {
      item = store.AddDevice(serialNumber);
    } catch (const std::runtime_error& error) {
      Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", error.what());
      return;
    }
  }
  item.Settings().Add("LATEST_TRANSFER", birdFile);
  item.Settings().Add("LAST_TRANSFER_DATE", KeyValueStore::CurrentTimeText());
  item.Settings().Save();
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerial, bool overrideModel) {
  if (serialNumber == 0) {
    display.message(kError, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem item;
  store->FindDevice(serialNumber, &item);
  const uint32_t started = aTime_GetMSTicks();

  if (birdFile.empty()) {
    build = _choose_build(item, serialNumber, build);
    if (build == 0) {
      display.message(kError, "Could not find valid build for this device.");
      return false;
    }
  }
  BirdFile bird;
  try {
    bird = load_bird("Updating", birdFile, serialNumber, build, false);
  } catch (const std::runtime_error&) {
    display.message(kError, "Failed to load bird file");
    return false;
  }
  if (bird.hasSerialOffsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module target(moduleAddress, 0);
  aErr err = _connect_target(target, serialNumber, routerSerial);
  if (err == aErrNone && !overrideModel && !_validate_birdfile(display, bird, target, serialNumber)) {
    display.message(kError, "Birdfile failed validation");
    return false;
  }
  if (err == aErrNone) err = _transfer_loader(display, target, bird);
  if (err == aErrNone && !target.isConnected()) sAwaitLoader(target, serialNumber);
  if (err == aErrNone) err = _transfer_firmware(display, target, bird, routerSerial != 0, ueiBytesLoad);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    return false;
  }

  if (birdFile.empty()) birdFile = UpdaterStoreItem::BuildFileName(build);
  _record_transfer(*store, item, serialNumber, birdFile);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - started) / 1000.0);
  return true;
}

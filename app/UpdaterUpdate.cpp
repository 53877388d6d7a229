#include <stdexcept>
#include <vector>

#include "CausedError.h"
#include "FileReplacer.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "UsbReturn.h"
#include "aDefs.h"
#include "aTime.h"

using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

namespace {

// After the loader start, and after the reboot into the new firmware, the device may come back as
// a new USB device: look for it this often.
const int kReturnAttempts = 15;
const uint32_t kReturnDelayMs = 1000;
const int kFirmwareBlockAttempts = 5;

// A device reached directly: over USB, or over TCP/IP when USB does not know it.
aErr sConnectBySerial(Module& module, uint32_t serialNumber) {
  aErr err = module.connect(USB, serialNumber);
  if (err == aErrNotFound) err = module.connect(TCPIP, serialNumber);
  return err;
}

// The device restarted into its loader and may have come back as a new USB device.
void sAwaitLoader(Module& target, uint32_t serialNumber) {
  for (int attempt = 0; attempt < kReturnAttempts; ++attempt) {
    target.disconnect();  // a failed attempt may still hold a link
    if (target.discoverAndConnect(USB, serialNumber) == aErrNone && target.isConnected()) return;
    AwaitUsbDevice(serialNumber, kReturnDelayMs, true);
  }
}

// The one error line of a failed transfer: the step, and what the device or the link did.
void sReportFailedStep(UpdaterDisplayInterface& display, const std::string& step, const UpdaterEntity& entity) {
  display.message(kError, "Update failed at %s: %s", step.c_str(), entity.failure().c_str());
}

std::string sBlockStep(const char* kind, unsigned number, size_t count) {
  return std::string(kind) + " block " + std::to_string(number) + " of " + std::to_string(count);
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
      sReportFailedStep(display, "the prepare of " + sBlockStep("firmware", number, count), entity);
      return err;
    }
    err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
    if (err == aErrNone) return err;
    Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
  }
  sReportFailedStep(display,
                    sBlockStep("firmware", number, count) + " after " + std::to_string(kFirmwareBlockAttempts) +
                        " attempts",
                    entity);
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
  } catch (const std::runtime_error& error) {
    if (!allowDownload) throw CausedError("Error reading birdfile", CausedError::CauseOf(error));
  }
  display.message(kInfo, "Downloading firmware build %u", build);
  Download_Firmware(serialNumber, std::to_string(build), false, false);
  return item.ReadBirdFile(name.c_str());
}

Updater::Validation Updater::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module,
                                                uint32_t serialNumber) {
  if (bird.blockCount == 0) return Validation::Mismatch;
  // An image without serial offsets is built for one device only.
  if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serialNumber)) return Validation::Mismatch;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t deviceSerial = 0;
  aErr err = system.getSerialNumber(&deviceSerial);
  if (err != aErrNone || deviceSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    if (err == aErrNone) return Validation::Mismatch;
    // A device that does not answer in time has not shown that the file is wrong for it.
    display.message(kError, "Could not read the serial number of device [%08X]", serialNumber);
    display.cause(aError_GetErrorText(err));
    return Validation::Unanswered;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(kError, "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    const std::string fileModel = bird.GetModel();
    display.cause("the file is for model " + (fileModel.empty() ? std::string("(none named)") : fileModel) +
                  ", the device is model " + name);
    return Validation::Mismatch;
  }
  return Validation::Valid;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    sReportFailedStep(display, "the upgrade init", entity);
    return err;
  }
  display.message(kInfo, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  unsigned sent = 0;
  uint32_t total = 0;
  std::string failedStep;
  for (const BirdBlock& block : blocks) {
    display.message(kInfo, "Transferring loader block %u of %u, %d bytes", sent + 1,
                    static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
      failedStep = "the prepare of " + sBlockStep("loader", sent + 1, blocks.size());
      break;
    }
    // A loader with a block missing must never be started: the first failed block ends it.
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
      failedStep = sBlockStep("loader", sent + 1, blocks.size());
      break;
    }
    total += block.length;
    ++sent;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", static_cast<int>(sent), static_cast<int>(total));
  display.display_progress(false);
  if (err != aErrNone) {
    sReportFailedStep(display, failedStep, entity);
    return err;
  }

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
  err = entity.LoaderReboot(display);
  if (err != aErrNone) sReportFailedStep(display, "the reboot", entity);
  return err;
}

uint32_t Updater::_choose_build(UpdaterStoreItem& item, uint32_t serialNumber, uint32_t build) {
  if (build == 0) {
    std::string buildText, firmwareText, failure;
    if (!UpdateServerRequest::QueryBuild(serialNumber, buildText, firmwareText, serverUrl.c_str(), &failure))
      display.message(kInfo, "The update server could not be asked for the current build (%s): using a stored build",
                      failure.c_str());
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

aErr Updater::_connect_router(Module& target, uint32_t routerSerial, bool* routerReached) {
  // The router lends its link to the target and is released; the target keeps the connection.
  Module router(0, 0);
  aErr err = _disableEther(router, display);
  if (err == aErrNone) err = sConnectBySerial(router, routerSerial);
  if (routerReached != nullptr) *routerReached = err == aErrNone;
  return err == aErrNone ? target.connectThroughLinkModule(router) : err;
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
  if (err != aErrNone) {
    display.message(kError, "Failed to connect to link module [%08X]", routerSerial);
    return err;
  }
  bool routerReached = false;
  err = _connect_router(target, routerSerial, &routerReached);
  if (err != aErrNone && !routerReached) display.message(kError, "Failed to connect to link module [%08X]", routerSerial);
  if (err != aErrNone && routerReached) display.message(kError, "Failed to connect to module [%08X]", serialNumber);
  return err;
}

bool Updater::_await_new_firmware(Module& target, uint32_t serialNumber, uint32_t routerSerial, uint32_t expected) {
  uint32_t running = 0;
  // A device reached over USB is tried once it is listed there again: trying while it restarts
  // would look for it on the network too.
  linkSpec spec{};
  const bool overUsb = routerSerial == 0 && target.getLinkSpecifier(&spec) == aErrNone && spec.type == USB;
  for (int attempt = 0; attempt < kReturnAttempts && running == 0; ++attempt) {
    if (overUsb && !target.isConnected()) {
      AwaitUsbDevice(serialNumber, kReturnDelayMs, attempt > 0);
    } else if (attempt > 0) {
      aTime_MSSleep(kReturnDelayMs);
    }
    if (!target.isConnected()) {
      target.disconnect();  // a dropped link still holds its engine connection
      aErr err = routerSerial == 0 ? sConnectBySerial(target, serialNumber) : _connect_router(target, routerSerial, nullptr);
      if (err != aErrNone) continue;
    }
    running = _get_build_number(target);
  }
  target.disconnect();
  if (running == 0) {
    display.message(kError, "Device %08X did not come back after the reboot", serialNumber);
    return false;
  }
  if (expected != 0 && running != expected) {
    display.message(kError, "Device %08X is running build %u, not build %u", serialNumber, running, expected);
    return false;
  }
  display.message(kInfo, "Device %08X is running build %u", serialNumber, running);
  return true;
}

bool Updater::_record_transfer(UpdaterStore& store, UpdaterStoreItem& item, uint32_t serialNumber,
                               const std::string& birdFile) {
  // The device runs the new firmware either way; a store that cannot hold the record (read-only,
  // full) is said, since later updates choose their build from it.
  static const char kNotRecorded[] = "Device %08X was updated, but the store could not record the transfer";
  // A device updated before it was ever in the store gets its entry now, so the transfer is
  // not forgotten.
  if (!item.IsValid()) {
    try {
      item = store.AddDevice(serialNumber);
    } catch (const std::runtime_error& error) {
      Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", error.what());
      display.message(kError, kNotRecorded, serialNumber);
      display.cause(error.what());
      return false;
    }
  }
  item.Settings().Add("LATEST_TRANSFER", birdFile);
  item.Settings().Add("LAST_TRANSFER_DATE", KeyValueStore::CurrentTimeText());
  if (item.Settings().Save() == aErrNone) return true;
  display.message(kError, kNotRecorded, serialNumber);
  display.cause(DescribeWriteFailure(item.Settings().FileName(), item.Settings().SaveError()));
  return false;
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerial, bool overrideModel) {
  chosenBuild = 0;
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
    chosenBuild = build;
  }
  BirdFile bird;
  try {
    bird = load_bird("Updating", birdFile, serialNumber, build, false);
  } catch (const std::runtime_error& error) {
    display.message(kError, "Failed to load bird file");
    display.cause(CausedError::CauseOf(error));
    return false;
  }
  // Flashing part of an image is never a success: a file whose blocks do not account for all its
  // data is refused before anything is sent.
  if (!bird.problem.empty()) {
    display.message(kError, "Failed to load bird file");
    display.cause(bird.problem);
    return false;
  }
  if (bird.GetBuild() != 0) chosenBuild = bird.GetBuild();
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
  if (err == aErrNone && !overrideModel) {
    const Validation validation = _validate_birdfile(display, bird, target, serialNumber);
    if (validation == Validation::Mismatch) display.message(kError, "Birdfile failed validation");
    if (validation != Validation::Valid) return false;
  }
  if (err == aErrNone) {
    const uint32_t current = _get_build_number(target);
    const uint32_t chosen = bird.GetBuild();
    if (current != 0 && chosen != 0 && chosen < current)
      display.message(kInfo, "Build %u is older than build %u that the device runs: this update is a downgrade",
                      chosen, current);
  }
  if (err == aErrNone) err = _transfer_loader(display, target, bird);
  if (err == aErrNone && !target.isConnected()) sAwaitLoader(target, serialNumber);
  if (err == aErrNone) err = _transfer_firmware(display, target, bird, routerSerial != 0, ueiBytesLoad);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    return false;
  }
  if (!_await_new_firmware(target, serialNumber, routerSerial, bird.GetBuild())) return false;

  if (birdFile.empty()) birdFile = UpdaterStoreItem::BuildFileName(build);
  if (!_record_transfer(*store, item, serialNumber, birdFile)) return false;
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - started) / 1000.0);
  return true;
}

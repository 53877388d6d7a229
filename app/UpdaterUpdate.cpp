#include <stdexcept>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"

using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

namespace {

const int kInfo = UpdaterDisplayInterface::LEVEL_INFO;
const int kError = UpdaterDisplayInterface::LEVEL_ERROR;
const int kFirmwareBlockAttempts = 5;

std::string sBirdFileName(uint32_t build) { return std::to_string(build) + ".bird"; }

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
  const std::string name = sBirdFileName(build);
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

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
  _report_unavailable("Update_Firmware");
  return false;
}

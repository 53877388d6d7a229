#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "ByteOrder.h"
#include "CausedError.h"
#include "DefaultSerial.h"
#include "HID_SDPLoader.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerialClass.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aTime.h"

using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

namespace {

// The LPC probe inside a recovery always runs at this rate; -N uses the command line's.
const unsigned int kRecoveryFingerprintBaud = 115200;
const uint32_t kLoaderStartDefault = 0x20000400;
// The port name that selects the boot ROM's USB HID interface.
const char kUsbPort[] = "USB";
const uint16_t kSdpVendor = 0x1FC9;
const uint16_t kSdpProduct = 0x0130;
const int kLoaderConnectAttempts = 15;
const uint32_t kLoaderConnectDelayMs = 1000;
const uint32_t kLpcFirstSector = 0;
const uint32_t kLpcLastSector = 29;
const uint32_t kLpcChunkSize = 4096;
// Flash bytes that no image byte covers keep their erased value.
const uint8_t kErasedFlash = 0xFF;
// A block's payload starts with its load address; an LPC image ends with a block of this many
// image bytes, which is not programmed.
const uint32_t kAddressBytes = 4;
const uint32_t kLpcEndBlockBytes = 4;
const uint8_t kIdentifierOption = 39;
const uint8_t kIdentifierWords = 4;

// The recovery loader answers under the default serial number, or under the device's own once
// it knows it.
aErr sConnectToRecoveryLoader(Module& module, uint32_t serial) {
  for (int attempt = 0; attempt < kLoaderConnectAttempts; ++attempt) {
    if (attempt > 0) aTime_MSSleep(kLoaderConnectDelayMs);
    module.disconnect();  // a failed attempt may still hold a link
    if (module.discoverAndConnect(USB, kDefaultSerial) == aErrNone && module.isConnected()) return aErrNone;
    if (serial != kDefaultSerial && module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected())
      return aErrNone;
  }
  return aErrNotFound;
}

// The firmware blocks that LPC recovery programs: those before the block that ends the image.
size_t sLpcBlocksToProgram(const std::vector<BirdBlock>& blocks) {
  auto end = std::find_if(blocks.begin(), blocks.end(),
                          [](const BirdBlock& b) { return b.length == kAddressBytes + kLpcEndBlockBytes; });
  return static_cast<size_t>(end - blocks.begin());
}

// One chunk of an LPC image: staged in RAM, the sectors it is copied to prepared, copied to
// flash. The copy length is one the boot loader accepts; the bytes beyond the chunk are staged as
// erased flash, so that the copy never carries stale RAM into flash.
aErr sProgramLpcChunk(NXPSerialClass& isp, const unsigned char* bytes, uint32_t size, uint32_t flashAddress) {
  const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
  const uint32_t copyLength = NXPSerialClass::CopyLength(size);
  std::vector<uint8_t> staged(copyLength, kErasedFlash);
  std::copy(bytes, bytes + size, staged.begin());
  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(size), flashAddress);
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(copyLength), ram);
  aErr err = isp.Write(ram, copyLength, staged.data());
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
    return err;
  }
  const uint32_t first = NXPSerialClass::SectorFromAddress(flashAddress);
  const uint32_t last = NXPSerialClass::SectorFromAddress(flashAddress + copyLength - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first), static_cast<int>(last));
  err = isp.Prepare(first, last);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "\t Prepare failed\n");
    return err;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copyLength), ram, flashAddress);
  err = isp.CopyToFlash(flashAddress, ram, copyLength);
  if (err != aErrNone) Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
  return err;
}

// Unlock, then prepare and erase the whole flash.
aErr sEraseLpcFlash(NXPSerialClass& isp) {
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  aErr err = isp.Unlock();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Could not unlock\n");
    return err;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  err = isp.Prepare(kLpcFirstSector, kLpcLastSector);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Could not prepare\n");
    return err;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  err = isp.Erase(kLpcFirstSector, kLpcLastSector);
  if (err != aErrNone) Log::log(DEBUG_Updater, "Could not erase\n");
  return err;
}

}  // namespace

bool Updater::_recovery_failed(const std::string& error, const std::string& cause) {
  display.message(kError, "%s", error.c_str());
  if (!cause.empty()) display.cause(cause);
  if (recovery.error.empty()) recovery.error = cause.empty() ? error : error + ": " + cause;
  return false;
}

bool Updater::_get_fingerprint_lpc(const std::string& port, unsigned int baud, Fingerprint& fingerprint) {
  NXPSerialClass isp;
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  std::copy(isp.DeviceID(), isp.DeviceID() + 4, fingerprint.words);
  return true;
}

aErr Updater::_transfer_recovery_loader(BirdFile& bird, const std::string& port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader loader;
  if (port == kUsbPort)
    loader.setLoader(new HID_SDPLoader(kSdpVendor, kSdpProduct));
  else
    loader.setLoader(new Serial_SDPLoader(port));
  if (loader.init() != 0) return aErrNotReady;

  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  for (size_t index = 0; index < blocks.size(); ++index) {
    const BirdBlock& block = blocks[index];
    if (block.length < kAddressBytes) continue;
    const uint32_t address = ReadBigEndian32(block.data);
    const std::vector<uint8_t> image(block.data + kAddressBytes, block.data + block.length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", static_cast<int>(index), image.size(),
             static_cast<int>(address));
    if (loader.writeLoader(image, address) != 0) return aErrConnection;
  }
  uint32_t start = kLoaderStartDefault;
  const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_LOADER_START);
  if (!starts.empty() && starts.front().length >= kAddressBytes) start = ReadBigEndian32(starts.front().data);
  loader.startLoader(start);
  return aErrNone;
}

bool Updater::_get_fingerprint_imx(const std::string& port, uint32_t serial, const std::string& birdFile,
                                   Fingerprint& fingerprint, bool reset) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "_get_fingerprint_imx");
  if (!store) return false;
  if (serial == 0) serial = kDefaultSerial;
  UpdaterStoreItem item;
  const bool known = store->FindDevice(serial, &item);

  std::string storeFile;
  if (!birdFile.empty() && serial == kDefaultSerial) {
    display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
    return false;
  }
  if (birdFile.empty() && !known) {
    display.mute_messages(true);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    const uint32_t build = Download_Firmware(serial, "", false, false);
    if (build != 0) {
      storeFile = UpdaterStoreItem::BuildFileName(build);
      store->FindDevice(serial, &item);
    }
    display.mute_messages(false);
  } else if (birdFile.empty()) {
    storeFile = item.Settings().GetString("LATEST_DOWNLOAD", "");
  }

  BirdFile bird;
  try {
    bird = birdFile.empty() ? item.ReadBirdFile(storeFile.c_str()) : BirdFile(birdFile.c_str());
  } catch (const std::runtime_error& error) {
    Log::log(DEBUG_APP, "%s: %s\n", error.what(), CausedError::CauseOf(error).c_str());
    return false;
  }
  if (_transfer_recovery_loader(bird, port) != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }

  Module module(0, 0);
  if (_disableEther(module, display) != aErrNone) return false;
  if (sConnectToRecoveryLoader(module, serial) != aErrNone) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t j = 0; j < kIdentifierWords; ++j) {
    if (system.getUEI32(kIdentifierOption, j, &fingerprint.words[kIdentifierWords - 1 - j]) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", j);
      return false;
    }
  }
  if (reset) system.reset();  // the device leaves the loader
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned int serial, std::string birdFile,
                              unsigned int baud, bool reset) {
  if (_get_fingerprint_lpc(port, baud, fingerprint)) {
    recoveryKind = RecoveryKind::LPC;
    return true;
  }
  recoveryKind = RecoveryKind::IMX;
  return _get_fingerprint_imx(port, serial, birdFile, fingerprint, reset);
}

bool Updater::_recover_firmware_imx(BirdFile& bird, uint32_t serial) {
  Module module(0, 0);
  aErr err = _disableEther(module, display);
  if (err == aErrNone && sConnectToRecoveryLoader(module, serial) != aErrNone)
    return _recovery_failed("Could not connect to device");
  if (err == aErrNone) err = _transfer_firmware(display, module, bird, false, ueiBytesLoad);
  if (err != aErrNone) return _recovery_failed("Failed to transfer firmware");
  return true;
}

bool Updater::_recover_firmware_lpc(BirdFile& bird, const std::string& port, unsigned int baud) {
  NXPSerialClass isp;
  // No sync: the fingerprint probe of this recovery left the boot loader in command mode.
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return _recovery_failed("Could not connect to " + port, aError_GetErrorText(err));
  }
  err = sEraseLpcFlash(isp);
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const size_t count = sLpcBlocksToProgram(blocks);
  uint32_t total = 0;
  if (err == aErrNone) {
    isp.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());
  }
  for (size_t index = 0; index < count && err == aErrNone; ++index) {
    const BirdBlock& block = blocks[index];
    const uint32_t size = block.length > kAddressBytes ? block.length - kAddressBytes : 0;
    const unsigned char* image = block.data + kAddressBytes;
    display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", static_cast<int>(index + 1),
                    static_cast<int>(count), static_cast<int>(size));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(size),
             block.address);
    for (uint32_t done = 0; done < size && err == aErrNone;) {
      const uint32_t chunk = std::min(kLpcChunkSize, size - done);
      err = sProgramLpcChunk(isp, image + done, chunk, block.address + done);
      done += chunk;
      display.update_progress(static_cast<double>(done) / size, nullptr);
    }
    display.display_progress(false);
    total += size;
  }
  if (err == aErrNone)
    display.message(kInfo, "Transferred %d blocks, %d total bytes", static_cast<int>(count), static_cast<int>(total));
  isp.SetEcho(true);
  if (err != aErrNone) {
    // The flash may be erased now: running the recovery again starts over.
    char text[128];
    std::snprintf(text, sizeof text, "Recovery Error transfering data to device ==> [%d, %s]", static_cast<int>(err),
                  aError_GetErrorText(err));
    return _recovery_failed(text);
  }
  display.message(kInfo, "Rebooting Device");
  isp.ExecuteFrom(0);
  return true;
}

bool Updater::_recover(const std::string& port, uint32_t build, unsigned int baud, uint32_t serial,
                       const std::string& birdFile) {
  Fingerprint& fingerprint = recovery.fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serial, birdFile, kRecoveryFingerprintBaud, false))
    return _recovery_failed("Could not get Device Identifier");
  uint32_t recoveryBuild = build;
  if (birdFile.empty()) {
    unsigned int serverSerial = serial, serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serverSerial, &serverBuild, serverUrl.c_str()))
      return _recovery_failed("Failed to retrieve recovery information from Tessaron server");
    serial = serverSerial;
    if (build == 0) recoveryBuild = serverBuild;
  }
  recovery.serialNumber = serial;

  BirdFile bird;
  try {
    bird = load_bird("Recovering", birdFile, serial, recoveryBuild, true);
  } catch (const std::runtime_error& error) {
    return _recovery_failed("Failed to load bird file", CausedError::CauseOf(error));
  }
  // Part of an image, or none, must never be programmed into a device whose flash is erased first.
  if (!bird.problem.empty()) return _recovery_failed("Failed to load bird file", bird.problem);
  if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
    return _recovery_failed("Failed to load bird file", "the file holds no firmware");
  recovery.build = bird.GetBuild() != 0 ? bird.GetBuild() : recoveryBuild;
  // Recovery needs an image made for this device.
  if (bird.hasSerialOffsets) return _recovery_failed("Updater does not support offline recovery");

  switch (recoveryKind) {
    case RecoveryKind::IMX:
      return _recover_firmware_imx(bird, serial);
    case RecoveryKind::LPC:
      bird.DecodeFirmwareBlocks(fingerprint.words);
      return _recover_firmware_lpc(bird, port, baud);
    case RecoveryKind::None:
      break;
  }
  return _recovery_failed("Unknown device");
}

bool Updater::Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                               std::string birdFile, bool) {
  recovery = RecoveryResult();
  const uint32_t started = aTime_GetMSTicks();
  recovery.succeeded = _recover(port, build, baud, serial, birdFile);
  display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - started) / 1000.0);
  return recovery.succeeded;
}

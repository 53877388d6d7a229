#include "UpdaterEntity.h"

#include <cstdio>
#include <cstring>

#include "DefaultSerial.h"
#include "Log.h"
#include "SystemClass.h"
#include "UsbReturn.h"
#include "aLinkSpec.h"
#include "aTime.h"
#include "aUEI.h"

using Tessaron::Axonforge::Link;
using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

namespace {

constexpr uint32_t kAlways = 0;  // log package that is always written
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
constexpr uint8_t kPacketDataMax = 28;
const char kSpinnerLabel[] = "Verifying Update";

uint32_t sBigEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint32_t sByteSum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

}  // namespace

UpdaterEntity::UpdaterEntity() : module(nullptr), verifySum(true), noRebootWait(false), ueiData(false) {}

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::fail(aErr err, const std::string& what) {
  failureText = what;
  return err;
}

aErr UpdaterEntity::failedSend(aErr err, const char* request) {
  if (err == aErrConnection || err == aErrIO || err == aErrWrite || module == nullptr || !module->isConnected())
    return fail(err, std::string("the link to the device was lost (") + request + " not sent)");
  return fail(err, std::string(request) + " could not be sent (" + aError_GetErrorText(err) + ")");
}

aErr UpdaterEntity::init(Module* module, uint8_t index, bool verifySum, bool noRebootWait) {
  this->module = module;
  this->verifySum = verifySum;
  this->noRebootWait = noRebootWait;
  ueiData = false;
  return EntityClass::init(module, cmdUPGRADE, index);
}

aErr UpdaterEntity::sendOperation(UpgradeOperation operation, const uint8_t* data, uint8_t length) {
  uint8_t payload[kPacketDataMax];
  payload[0] = operation;
  if (length > 0) std::memcpy(payload + 1, data, length);
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1), payload);
}

aErr UpdaterEntity::sendLogged(UpgradeOperation operation, const char* name, const uint8_t* data, uint8_t length) {
  aErr err = sendOperation(operation, data, length);
  if (err != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending %s (%d)\n", name, err);
  return err;
}

aErr UpdaterEntity::receiveReply(UpgradeOperation operation, uint8_t* reply, uint8_t& replyLength) {
  const uint8_t match[2] = {cmdUPGRADE, operation};
  replyLength = sizeof match;
  return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = sendLogged(val_UPGRADE_INIT, "UPGRADE_INIT", nullptr, 0);
  if (err != aErrNone) return failedSend(err, "the upgrade init");
  uint8_t reply[kPacketDataMax];
  uint8_t replyLength = 0;
  err = receiveReply(val_UPGRADE_INIT, reply, replyLength);
  if (err != aErrNone) return fail(err, "the device did not answer the upgrade init");
  if (replyLength <= 5) return fail(aErrPacket, "the device's answer to the upgrade init is too short");
  const uint32_t loadBase = sBigEndian32(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(loadBase), loadBase);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           blockSize);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           block[0], block[1], block[2], block[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(sBigEndian32(block)));
  const uint8_t request[5] = {flags, block[0], block[1], block[2], block[3]};
  aErr err = sendLogged(val_UPGRADE_PREPARE, "UPGRADE_PREPARE", request, sizeof request);
  if (err != aErrNone) return failedSend(err, "the prepare");
  uint8_t reply[kPacketDataMax];
  uint8_t replyLength = 0;
  err = receiveReply(val_UPGRADE_STATUS, reply, replyLength);
  if (err != aErrNone) return fail(err, "the device did not answer the prepare");
  if (replyLength < 5 || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return fail(aErrInvalidOption, replyLength < 3 ? "the device's answer to the prepare is too short"
                                                   : "the device refused the prepare (status " +
                                                         std::to_string(reply[2]) + ")");
  }
  blockSize = static_cast<uint16_t>(reply[3] << 8 | reply[4]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& blocks,
                                               uint32_t& sum) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  uei record{};
  record.type = UEI_TYPE_BYTES;
  record.value.bytesVal.data = data;
  record.value.bytesVal.length = length;
  aErr err = setUEI(val_UPGRADE_DATA_UEI, &record);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return fail(err, std::string("the device did not take the block as UEI bytes (") + aError_GetErrorText(err) + ")");
  }
  sum += sByteSum(data, length);
  blocks = 1;
  return aErrNone;
}

aErr UpdaterEntity::sendDataPackets(const uint8_t* data, uint32_t length, uint32_t& blocks, uint32_t& sum,
                                    uint32_t& transferred) {
  unsigned resends = 0;
  while (transferred < length) {
    const uint32_t chunk = length - transferred < DATA_CHUNK_MAX ? length - transferred : DATA_CHUNK_MAX;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
             static_cast<int>(chunk));
    aErr err = sendOperation(val_UPGRADE_DATA, data + transferred, static_cast<uint8_t>(chunk));
    if (err != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
      return failedSend(err, "a data packet");
    }
    uint8_t reply[kPacketDataMax];
    uint8_t replyLength = 0;
    if (receiveReply(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      return fail(aErrPacket, "the device did not answer a data packet");
    }
    const int accepted = replyLength > 2 ? reply[2] : -1;
    if (accepted != static_cast<int>(chunk)) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
               static_cast<int>(chunk));
      if (++resends > DATA_RESEND_MAX) {
        Log::log(kAlways, "\nNETWORK: Giving up on a chunk after %u resends.\n", DATA_RESEND_MAX);
        return fail(aErrPacket, "the device kept acknowledging a wrong byte count");
      }
      continue;  // the same chunk again
    }
    resends = 0;
    sum += sByteSum(data + transferred, chunk);
    transferred += chunk;
    ++blocks;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(chunk),
             static_cast<int>(length - transferred), static_cast<int>(length));
  }
  return aErrNone;
}

aErr UpdaterEntity::verifyBlockSum(uint32_t sum, uint32_t blocks) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  sendOperation(val_UPGRADE_SUM, nullptr, 0);  // a lost request shows as a missing reply
  uint8_t reply[kPacketDataMax];
  uint8_t replyLength = 0;
  if (receiveReply(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return fail(aErrPacket, "the device did not answer the sum check");
  }
  const uint8_t status = replyLength > 2 ? reply[2] : 0xFF;
  const uint32_t deviceSum = replyLength >= 7 ? sBigEndian32(reply + 3) : ~sum;
  if (status == 0 && deviceSum == sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
             deviceSum, static_cast<int>(blocks));
    return aErrNone;
  }
  Log::log(kAlways, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, deviceSum);
  char text[96];
  std::snprintf(text, sizeof text, "sum mismatch: sent %08X, the device has %08X (status %02X)", sum, deviceSum, status);
  return fail(aErrInvalidOption, text);
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t sum = 0;
  uint32_t transferred = 0;
  aErr err;
  if (ueiData) {
    err = _block_transfer_uei_helper(data, length, blocks, sum);
    if (err != aErrNone) return err;
    transferred = length;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
  } else {
    err = sendDataPackets(data, length, blocks, sum, transferred);
    // A request that could not be sent ends the transfer at once; a missing reply is reported
    // with the progress made.
    if (err != aErrNone && err != aErrPacket) return err;
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(transferred),
           static_cast<int>(length));
  if (err != aErrNone || !verifySum) return err;
  return verifyBlockSum(sum, blocks);
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
  uint32_t address;
  std::memcpy(&address, block, sizeof address);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", address,
           static_cast<int>(length - 4));
  uint32_t blocks = 0;
  return _block_transfer(block + 4, length - 4, blocks);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", sBigEndian32(block),
           static_cast<int>(length - 4));
  if (blockSize == 0) {
    // The device would never take a byte: refuse instead of looping without progress.
    Log::log(kAlways, "NETWORK: Device block size of 0 refused\n");
    return fail(aErrParam, "the device reported a block size of 0");
  }
  uint32_t remaining = length - 4;
  const uint8_t* cursor = block + 4;
  uint32_t blocks = 0;
  Log::timestamped = false;
  display.display_progress(true);
  aErr err = aErrNone;
  while (remaining > 0 && err == aErrNone) {
    const uint32_t piece = remaining < blockSize ? remaining : blockSize;
    err = _block_transfer(cursor, piece, blocks);
    if (err != aErrNone) break;
    remaining -= piece;
    cursor += piece;
    ++blocks;
    display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(piece),
             static_cast<int>(remaining), static_cast<int>(length));
    err = FirmwareWrite(static_cast<uint16_t>(piece));
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != aErrNone) Log::log(kAlways, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", count);
  const uint8_t request[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  aErr err = sendOperation(val_UPGRADE_WRITE, request, sizeof request);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return failedSend(err, "the write");
  }
  uint8_t reply[kPacketDataMax];
  uint8_t replyLength = 0;
  err = receiveReply(val_UPGRADE_STATUS, reply, replyLength);
  if (err != aErrNone || replyLength < 3 || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return fail(aErrInvalidOption, err != aErrNone ? "the device did not answer the write" : "the device refused the write");
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = sendLogged(val_UPGRADE_LOAD, "UPGRADE_LOAD", nullptr, 0);
  if (err != aErrNone) return failedSend(err, "the loader start");
  uint8_t reply[kPacketDataMax];
  uint8_t replyLength = 0;
  if (receiveReply(val_UPGRADE_LOAD, reply, replyLength) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // No confirmation: the device has usually restarted into the loader and dropped the link.
  err = _reconnect(LOADER_START_RECONNECT_DELAY_MS);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = receiveReply(val_UPGRADE_LOAD, reply, replyLength);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
  return aErrNone;
}

template <typename Connect>
aErr UpdaterEntity::reconnectAttempts(const char* format, uint32_t delayMs, uint32_t usbSerial, Connect connect) {
  aErr err = aErrConnection;
  for (unsigned attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
    Log::log(DEBUG_Network, format, attempt, RECONNECT_ATTEMPTS);
    err = connect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return err;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
    // A USB device that comes back within the delay is tried at once.
    if (usbSerial != 0) {
      AwaitUsbDevice(usbSerial, delayMs, true);
    } else {
      aTime_MSSleep(delayMs);
    }
  }
  return err;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (module == nullptr) return aErrResource;
  // Every attempt starts disconnected: a failed attempt may still hold its link.
  linkSpec spec{};
  const uint32_t usbSerial = module->getLinkSpecifier(&spec) == aErrNone && spec.type == USB ? spec.serialNumber : 0;
  aErr err = reconnectAttempts("NETWORK: Attempting to reconnect. Attempt: %d of %d\n", delayMs, usbSerial, [this] {
    module->disconnect();
    return module->reconnect();
  });
  if (err == aErrNone) return err;
  // A device running a loader without a serial number of its own reports the default one.
  return reconnectAttempts("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", delayMs, kDefaultSerial, [this] {
    module->disconnect();
    return module->connect(USB, kDefaultSerial);
  });
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (module == nullptr) return aErrResource;
  aErr answer = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, getIndex(), UEI_OPTION_SET);
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", answer);
  if (answer == aErrNone) ueiData = true;
  return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr) return aErrResource;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  aErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone) return err;
  if ((features & kPooledPacketsFeature) == 0) return aErrNone;
  Link* link = module->getLink();
  return link != nullptr ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  aErr err = sendOperation(val_UPGRADE_REBOOT, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    failedSend(err, "the reboot request");
  }
  for (uint32_t waited = 0; module != nullptr && module->isConnected() && waited < REBOOT_WAIT_MAX_MS;
       waited += REBOOT_POLL_MS) {
    // Each pass waits for the drop, not for the rest of its 250 ms once the link has dropped.
    for (uint32_t slept = 0; slept < REBOOT_POLL_MS && module->isConnected(); slept += REBOOT_DROP_CHECK_MS)
      aTime_MSSleep(REBOOT_DROP_CHECK_MS);
    display.update_spinner(true, kSpinnerLabel);
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (noRebootWait) break;
  }
  display.update_spinner(false, kSpinnerLabel);
  return err;
}

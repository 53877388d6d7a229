#ifndef UPDATER_UPDATERENTITY_H
#define UPDATER_UPDATERENTITY_H

// The host side of a running device's upgrade entity (entity class 95): moves a loader or a
// firmware image into the device block by block over the ordinary device link, has each block
// verified and written, starts a loader and reboots the device into its new firmware.
//
// Every exchange is a raw command packet: the entity's command byte, an upgrade operation code,
// then the operation's data. A device that offers it takes a whole block as one UEI bytes value
// instead of data packets. Every operation returns an aErr; a device's refusal is
// aErrInvalidOption, a missing reply during a data or sum exchange aErrPacket.

#include <cstdint>
#include <string>

#include "EntityClass.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

class UpdaterEntity : public Tessaron::Axonforge::EntityClass {
 public:
  static constexpr uint8_t cmdUPGRADE = 95;

  // Upgrade operation codes: the second data byte of every upgrade packet.
  enum UpgradeOperation : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,  // a UEI option, not a raw packet
  };

  // Image bytes in one data packet: a link packet holds 28 data bytes, two are the header.
  static constexpr uint32_t DATA_CHUNK_MAX = 26;
  // A chunk the device keeps acknowledging with a wrong count is given up after this many
  // resends, so that a confused device cannot hold the update forever.
  static constexpr unsigned DATA_RESEND_MAX = 8;
  // Reconnection after the device restarted into its loader: attempts by the stored specifier,
  // then as many under the serial number of a device without one of its own.
  static constexpr unsigned RECONNECT_ATTEMPTS = 5;
  static constexpr uint32_t LOADER_START_RECONNECT_DELAY_MS = 500;
  static constexpr uint32_t REBOOT_POLL_MS = 250;
  static constexpr uint32_t REBOOT_DROP_CHECK_MS = 10;  // how often a reboot pass looks at the link
  // A device whose link never drops after the reboot request is not waited for beyond this.
  static constexpr uint32_t REBOOT_WAIT_MAX_MS = 30000;

  UpdaterEntity();
  ~UpdaterEntity() override;

  // Binds the entity to (module, 95, index) and sets the verification and reboot-wait switches.
  aErr init(Tessaron::Axonforge::Module* module, uint8_t index, bool verifySum, bool noRebootWait);

  // In all transfers `block` is a whole image block: 4 bytes of big-endian load address, then the
  // image bytes; `length` counts the address too.
  aErr LoaderInit();
  // On success blockSize receives the device's block size.
  aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* block, uint32_t length);
  // Sends the image in pieces of blockSize bytes, each followed by a write; aErrParam for a block
  // size of 0.
  aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
  aErr FirmwareWrite(uint16_t count);
  // Starts the loader; the device usually restarts into it and the link is reconnected once.
  aErr LoaderStart();
  // aErrNone when the device takes a block as one UEI bytes value (used from then on).
  aErr CheckUEIDataSupport();
  // Lets the link coalesce queued packets when the device supports pooled packets.
  aErr CheckPooledPacketsSupport();
  // Asks the device to reboot and waits for the link to drop (one pass with noRebootWait).
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  // Moves length bytes (one device block or one loader block) and checks their byte sum when
  // verifySum is set; blocks counts the packets (or values) sent.
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks);
  aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& blocks, uint32_t& sum);
  aErr _reconnect(uint32_t delayMs);

  bool usesUEIData() const { return ueiData; }
  // What the last failed operation met, for the user: "the device did not answer the upgrade
  // init", "sum mismatch: ...", "the link to the device was lost", ...
  const std::string& failure() const { return failureText; }

 private:
  // Sends cmdUPGRADE, the operation, then `length` bytes.
  aErr sendOperation(UpgradeOperation operation, const uint8_t* data, uint8_t length);
  // sendOperation that logs a failure under the operation's `name`.
  aErr sendLogged(UpgradeOperation operation, const char* name, const uint8_t* data, uint8_t length);
  // Waits for the first reply that begins with cmdUPGRADE and `operation`; reply receives all
  // its data bytes and replyLength their count.
  aErr receiveReply(UpgradeOperation operation, uint8_t* reply, uint8_t& replyLength);
  // The raw data packet loop of _block_transfer; transferred counts the bytes the device took.
  aErr sendDataPackets(const uint8_t* data, uint32_t length, uint32_t& blocks, uint32_t& sum, uint32_t& transferred);
  aErr verifyBlockSum(uint32_t sum, uint32_t blocks);
  // One round of reconnect attempts; `connect` makes one attempt.
  template <typename Connect>
  aErr reconnectAttempts(const char* format, uint32_t delayMs, uint32_t usbSerial, Connect connect);
  // Records what went wrong and passes err on.
  aErr fail(aErr err, const std::string& what);
  // A request that could not be sent: the link was lost, or the request was refused locally.
  aErr failedSend(aErr err, const char* request);

  Tessaron::Axonforge::Module* module;
  bool verifySum;
  bool noRebootWait;
  bool ueiData;
  std::string failureText;
};

#endif

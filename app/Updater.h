#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "RecoveryResult.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"
#include "aError.h"
#include "aLinkSpec.h"

namespace Tessaron {
namespace Axonforge {
class Module;
}
}  // namespace Tessaron

// The application's orchestration object: one per run, one operation per command. The operations
// are virtual so that the command dispatch can be exercised against a recording double.
class Updater {
 public:
  Updater(const std::string& serverUrl, const std::string& storageDir, UpdaterDisplayInterface& display);
  virtual ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  virtual void Set_UEIBytes_Load(bool load);

  // Discovery and listing.
  virtual std::vector<DeviceInfo> Discover_Devices(linkType type);
  virtual std::vector<DeviceInfo> Discover_AFNetwork_Devices(uint32_t routerSerial, linkType type);
  static void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                                   linkType type);

  // Discovery helpers, also used by the update and recovery flows.
  // Makes the module open its device directly: no link server, no fallback to another transport.
  static aErr _disableEther(Tessaron::Axonforge::Module& module, UpdaterDisplayInterface& display);
  // The firmware build of a connected module, 0 when it does not report one.
  static uint32_t _get_build_number(Tessaron::Axonforge::Module& module);
  // Firmware version, module and router address of a connected module into info.
  static aErr _get_version(Tessaron::Axonforge::Module& module, DeviceInfo& info);
  // The transport over which a device with this serial number is found (USB first), 0 for none.
  static linkType _discover_link_type(uint32_t serialNumber);

  // Update of a running device. build 0 lets the flow choose; an empty birdFile takes the image
  // from the store.
  virtual bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                               uint32_t routerSerial, bool overrideModel);

  // The image of a device and build (or of a file); throws std::runtime_error (a CausedError
  // that says why) when there is none.
  BirdFile load_bird(const std::string& purpose, const std::string& birdFile, uint32_t serialNumber, uint32_t build,
                     bool allowDownload);

  // Downloads and build lists. Download_Firmware returns the build stored, 0 on failure.
  virtual uint32_t Download_Firmware(uint32_t serialNumber, const std::string& buildText, bool overrideModel,
                                     bool noCal);
  virtual uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                                     bool overrideModel);
  // The builds the server lists (or the store holds) for a device. False, with the error shown,
  // when the server could not be asked (or the store opened); `builds` keeps what was read.
  virtual bool Get_BuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds);
  virtual bool Get_BuildListLocal(uint32_t serialNumber, std::map<std::string, std::string>& builds);
  static void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                              uint32_t serialNumber);

  // The build that the last update or download took (the one it tried, when it failed), 0 when
  // it ended before choosing one.
  uint32_t Chosen_Build() const { return chosenBuild; }

  // Recovery through the processor's boot loader, and the device fingerprint.
  virtual bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned int serial, std::string birdFile,
                               unsigned int baud, bool reset);
  virtual bool Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                                std::string birdFile, bool overrideModel);
  // The outcome of the last Recover_Firmware.
  const RecoveryResult& Last_Recovery() const { return recovery; }

 protected:
  uint32_t chosenBuild = 0;

 private:
  // The steps of the operations, under their own names; tests reach them through UpdaterTestSeam.
  friend class UpdaterTestSeam;

  // Update: the check of the image against the connected device (Unanswered: the device did not
  // tell its serial number; the error is shown), the loader and firmware transfers through the
  // upgrade entity (a failure shows one error line naming the step and its cause).
  enum class Validation { Valid, Mismatch, Unanswered };
  static Validation _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird,
                                       Tessaron::Axonforge::Module& module, uint32_t serialNumber);
  static aErr _transfer_loader(UpdaterDisplayInterface& display, Tessaron::Axonforge::Module& module, BirdFile& bird);
  static aErr _transfer_firmware(UpdaterDisplayInterface& display, Tessaron::Axonforge::Module& module,
                                 BirdFile& bird, bool noRebootWait, bool probeUeiData);
  // The build an update takes when none is given, the connection to the device (directly or
  // through a router), the wait for the device to come back running the new build, and the
  // record of a successful transfer.
  uint32_t _choose_build(UpdaterStoreItem& item, uint32_t serialNumber, uint32_t build);
  aErr _connect_target(Tessaron::Axonforge::Module& target, uint32_t serialNumber, uint32_t routerSerial);
  aErr _connect_router(Tessaron::Axonforge::Module& target, uint32_t routerSerial, bool* routerReached);
  bool _await_new_firmware(Tessaron::Axonforge::Module& target, uint32_t serialNumber, uint32_t routerSerial,
                           uint32_t expectedBuild);
  // False, with the error shown, when the store cannot hold the record.
  bool _record_transfer(UpdaterStore& store, UpdaterStoreItem& item, uint32_t serialNumber,
                        const std::string& birdFile);

  // Download helpers: the store every operation opens (empty, with the error shown, when it cannot
  // be), whether the server lists a build for a device, and a build text read as decimal (0, logged,
  // when it is not a number).
  static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                          const std::string& storageDir, const char* callerName);
  static bool _valid_build(uint32_t serialNumber, uint32_t build, const std::string& serverUrl);
  static uint32_t _build_from_text(const std::string& text);

  // Recovery: the fingerprint of an LPC part (its ISP device id) or of an i.MX part (through the
  // recovery loader it is given first), the loader's transfer through the boot ROM, and the
  // firmware transfer of each kind. The steps that end a recovery show their error through
  // _recovery_failed, which also keeps it in the result, and return false.
  enum class RecoveryKind { None = 0, IMX = 1, LPC = 2 };
  static bool _get_fingerprint_lpc(const std::string& port, unsigned int baud, Fingerprint& fingerprint);
  bool _get_fingerprint_imx(const std::string& port, uint32_t serial, const std::string& birdFile,
                            Fingerprint& fingerprint, bool reset);
  static aErr _transfer_recovery_loader(BirdFile& bird, const std::string& port);
  bool _recover(const std::string& port, uint32_t build, unsigned int baud, uint32_t serial,
                const std::string& birdFile);
  bool _recover_firmware_lpc(BirdFile& bird, const std::string& port, unsigned int baud);
  bool _recover_firmware_imx(BirdFile& bird, uint32_t serial);
  bool _recovery_failed(const std::string& error, const std::string& cause = "");

  std::string serverUrl;
  std::string storageDir;
  UpdaterDisplayInterface& display;
  bool ueiBytesLoad;
  RecoveryKind recoveryKind;  // the path the last Get_Fingerprint took
  RecoveryResult recovery;
};

#endif

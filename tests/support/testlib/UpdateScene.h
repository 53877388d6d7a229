#ifndef TESTLIB_UPDATESCENE_H
#define TESTLIB_UPDATESCENE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "BirdRecipe.h"
#include "DevSimProcess.h"
#include "RunProcess.h"
#include "TempDir.h"

// One simulated setup for end-to-end updates: the device simulator program with the given
// modules, a work directory with the updater's store, the images, and the flash images that
// devsim writes after each reboot into new firmware.
class UpdateScene {
 public:
  UpdateScene(const std::vector<std::string>& modules, const std::vector<std::string>& extraArgs = {});

  bool ready() const { return sim_.ready(); }
  DevSimProcess& sim() { return sim_; }
  const TempDir& work() const { return work_; }
  std::string store() const { return work_ / "store"; }
  // The settings file of a device ("%08X") in the store.
  std::string settingsPath(const std::string& serial) const;

  // Writes the image of a recipe under the work directory; its path.
  std::string image(const BirdRecipe& recipe, const std::string& name = "image.bird");
  // The updater with this scene's store and devices.
  ProcessResult updater(const std::vector<std::string>& args, int timeoutMs = 120000);

  // The flash image devsim wrote after the module rebooted into new firmware (waited for briefly).
  std::vector<uint8_t> flash(const std::string& serial);
  bool flashWritten(const std::string& serial) const;

 private:
  TempDir work_;  // before the simulator, which writes into it
  DevSimProcess sim_;
};

// What the device's flash must hold after an update with this file: the firmware blocks, with
// the device's serial number patched into a generic image.
std::vector<uint8_t> ExpectedFlash(const std::string& path, uint32_t serial);

// A value of a settings file ("" when it is absent or the file does not load).
std::string Setting(const std::string& settingsPath, const char* key);

#endif

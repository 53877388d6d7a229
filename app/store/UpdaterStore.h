#ifndef UPDATER_UPDATERSTORE_H
#define UPDATER_UPDATERSTORE_H

#include <string>
#include <vector>

#include "UpdaterStoreItem.h"

// The per-user store: below its base directory one directory per device, named by the serial
// number as 8 upper-case hexadecimal digits, holding the device's BIRD files and ".settings".
class UpdaterStore {
 public:
  // Ensures the base directory; throws std::runtime_error when it cannot be created or a file
  // stands in its place.
  explicit UpdaterStore(const char* basePath);

  const char* BasePath() const { return basePath.c_str(); }

  // Ensures the device's directory (throws like the constructor) and returns its item, whose
  // settings are loaded or created.
  UpdaterStoreItem AddDevice(unsigned int serial);
  UpdaterStoreItem AddDevice(const char* name);
  // Fills `item` with the device's entry when the store holds it; leaves it untouched otherwise.
  bool FindDevice(unsigned int serial, UpdaterStoreItem* item);
  bool FindDevice(const char* name, UpdaterStoreItem* item);
  // Appends one item per entry of the device's directory that is not hidden (in listing order).
  // True also when the device has no directory.
  bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items);

  // The serial number as a device directory name: "%08X".
  static std::string DeviceName(unsigned int serial);

 private:
  std::string basePath;
};

#endif

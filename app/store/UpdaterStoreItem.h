#ifndef UPDATER_UPDATERSTOREITEM_H
#define UPDATER_UPDATERSTOREITEM_H

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

// Kind of a store entry.
typedef enum {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
} store_item_t;

// One entry of the updater store: a device directory, or a file inside one, with the entry's
// settings (loaded from base/name/.settings, which is created for directories).
class UpdaterStoreItem {
 public:
  UpdaterStoreItem();
  UpdaterStoreItem(const char* basePath, const char* name, store_item_t kind);

  // Both the base path and the name are set.
  bool IsValid() const;
  // Whether the item's directory holds an entry with exactly this name.
  bool FileExists(const char* name) const;
  // Writes the bytes to base/name/file, replacing any old file whole or not at all.
  // aErrNotFound: no data, or the file cannot be created; aErrParam: `file` is not a plain name.
  // systemError, when given, receives the system's error number of a failed write (else 0).
  aErr WriteFile(const char* file, const unsigned char* data, unsigned int length, int* systemError = nullptr);
  // Loads base/name/file. Throws std::runtime_error "Invalid bird <path>" when the file is missing,
  // lacks the BIRD signature or is not a plain name in a valid item, and "Failed to load bird data"
  // when it does not load.
  BirdFile ReadBirdFile(const char* file) const;
  // The name a downloaded build is stored under in its device's directory: "<build>.bird".
  static constexpr char kBuildFileExtension[] = ".bird";
  static std::string BuildFileName(uint32_t build);

  const std::string& BasePath() const { return basePath; }
  const std::string& Name() const { return name; }
  store_item_t Kind() const { return kind; }
  // base/name: the device directory itself, or the file.
  std::string Path() const;
  KeyValueStore& Settings() { return settings; }
  const KeyValueStore& Settings() const { return settings; }

  // Looks in `directory` for an entry named exactly `name` and, when `item` is given, fills it
  // with that entry (settings loaded). Never matches "." or "..".
  static bool FindIn(const std::string& directory, const char* name, UpdaterStoreItem* item);
  // A single path component: not empty, no separator, not "." or "..".
  static bool IsPlainName(const char* name);

 private:
  std::string basePath;
  std::string name;
  store_item_t kind;
  KeyValueStore settings;
};

#endif

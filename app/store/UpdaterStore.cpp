#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

#include "Log.h"
#include "aDirectory.h"

namespace {

const unsigned int kDirectoryMode = 0755;

void sEnsureStoreDirectory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
    if (err != aErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

struct BuildListing {
  std::string directory;
  std::vector<UpdaterStoreItem>* items;
};

bool sCollectBuild(const aDirectoryListData* entry, void* context) {
  BuildListing* listing = static_cast<BuildListing*>(context);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->isDirectory, entry->size);
  std::string path = entry->path;
  std::string name = path.substr(path.find_last_of(aDIR_PATH_SEP[0]) + 1);
  // Hidden entries (".settings", unfinished writes, "." and "..") are never builds.
  if (name.empty() || name[0] == '.') return true;
  listing->items->emplace_back(listing->directory.c_str(), name.c_str(),
                               entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}

}  // namespace

UpdaterStore::UpdaterStore(const char* basePath) : basePath(basePath ? basePath : "") {
  if (this->basePath.empty()) throw std::runtime_error("UpdaterStore: no base directory given");
  sEnsureStoreDirectory(this->basePath);
}

std::string UpdaterStore::DeviceName(unsigned int serial) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X", serial);
  return name;
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) { return AddDevice(DeviceName(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  if (!UpdaterStoreItem::IsPlainName(name))
    throw std::runtime_error(std::string("UpdaterStore: invalid device name [") + (name ? name : "") + "]");
  sEnsureStoreDirectory(BuildPath(basePath.c_str(), name, nullptr));
  return UpdaterStoreItem(basePath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) {
  return FindDevice(DeviceName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  bool found = UpdaterStoreItem::FindIn(basePath, name, item);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name ? name : "");
  return found;
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  BuildListing listing = {device.Path(), &items};
  aDirectory_List(listing.directory.c_str(), sCollectBuild, &listing);
  return true;
}

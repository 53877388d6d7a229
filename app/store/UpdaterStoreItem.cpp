#include "UpdaterStoreItem.h"

#include <cstring>
#include <stdexcept>

#include "CausedError.h"
#include "FileReplacer.h"
#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

const char* sEntryName(const aDirectoryListData* entry) {
  const char* slash = std::strrchr(entry->path, aDIR_PATH_SEP[0]);
  return slash ? slash + 1 : entry->path;
}

struct EntrySearch {
  const char* name;
  bool found;
  bool isDirectory;
};

bool sMatchEntry(const aDirectoryListData* entry, void* context) {
  EntrySearch* search = static_cast<EntrySearch*>(context);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path, entry->isDirectory,
           entry->size, search->name);
  // The entry's own name must match; a match somewhere else in its path would find the wrong entry.
  if (std::strcmp(sEntryName(entry), search->name) != 0) return true;
  search->found = true;
  search->isDirectory = entry->isDirectory;
  return false;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* basePath, const char* name, store_item_t kind)
    : basePath(basePath ? basePath : ""), name(name ? name : ""), kind(kind) {
  // An incomplete item has no directory of its own; loading would create a stray settings file.
  if (IsValid()) settings.Load(BuildPath(Path().c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

std::string UpdaterStoreItem::BuildFileName(uint32_t build) { return std::to_string(build) + kBuildFileExtension; }

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

std::string UpdaterStoreItem::Path() const { return BuildPath(basePath.c_str(), name.c_str(), nullptr); }

bool UpdaterStoreItem::IsPlainName(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strchr(name, aDIR_PATH_SEP[0]) == nullptr &&
         std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

bool UpdaterStoreItem::FindIn(const std::string& directory, const char* name, UpdaterStoreItem* item) {
  if (!IsPlainName(name)) return false;
  EntrySearch search = {name, false, false};
  aDirectory_List(directory.c_str(), sMatchEntry, &search);
  if (search.found && item != nullptr)
    *item = UpdaterStoreItem(directory.c_str(), name, search.isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return search.found;
}

bool UpdaterStoreItem::FileExists(const char* name) const { return IsValid() && FindIn(Path(), name, nullptr); }

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data, unsigned int length, int* systemError) {
  if (!IsPlainName(file)) return aErrParam;
  if (data == nullptr || !IsValid()) return aErrNotFound;
  std::string path = BuildPath(Path().c_str(), file, nullptr);
  FileReplaceResult result = ReplaceFileContents(path, data, length);
  if (systemError != nullptr) *systemError = result.systemError;
  if (result.code != aErrNone)
    Log::log(DEBUG_Updater, "UpdaterStore: cannot write [%s] (%d)\n", path.c_str(), result.systemError);
  if (!result.opened) return aErrNotFound;
  return result.code;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) const {
  std::string path = BuildPath(Path().c_str(), file ? file : "", nullptr);
  // An empty item has no directory: its path would point at the file system's root.
  if (!IsValid() || !IsPlainName(file) || !BirdFile::VerifyFile(path.c_str()))
    throw CausedError("Invalid bird " + path, (aFile_Exists(path.c_str()) ? "not a BIRD file: " : "the store holds no ") + path);
  return BirdFile(path.c_str());
}

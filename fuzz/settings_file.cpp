// Arbitrary bytes as a device's settings file: loading (line reading with its length limit,
// comments, whitespace, keys and values), every typed getter, and a save that must read back
// to the very entries it wrote.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KeyValueStore.h"
#include "Log.h"

namespace {

std::string gDir;

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Log::ActivatePackage(DEBUG_Attributes);
  Log::SetOutput(nullptr);
  // Saves are flushed to disk: on a memory file system that costs nothing.
  char pattern[] = "/dev/shm/fuzz-settings-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  gDir = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = gDir + "/input";
  const std::string saved = gDir + "/saved";
  if (!WriteFile(input, data, size)) return 0;
  KeyValueStore store;
  store.Load(input.c_str());
  // Keys taken from the input's first line, and the ones the updater reads.
  const std::string firstLine(reinterpret_cast<const char*>(data), size);
  const std::string probe = firstLine.substr(0, firstLine.find('\n'));
  for (const char* key : {probe.c_str(), "LATEST_DOWNLOAD", "LATEST_TRANSFER", "CREATED_TIME"}) {
    store.GetString(key);
    store.GetInt(key, 7);
    store.GetHex(key, 7);
    store.GetBOOL(key, true);
    store.GetDouble(key, 7.0);
    if (store[key] == nullptr) __builtin_trap();  // the typed getters leave the key behind
  }
  // Not dirty after a load, so the save adds nothing: what it wrote must come back unchanged,
  // apart from entries the syntax cannot carry (a key starting with '#', or an empty key with
  // an empty value, read back as comment or short line).
  const KeyValueStore before = store;
  if (store.Save(saved.c_str()) != aErrNone) return 0;
  KeyValueStore reloaded;
  reloaded.Load(saved.c_str());
  if (reloaded.Count() > before.Count()) __builtin_trap();
  for (const char* key : {probe.c_str(), "LATEST_DOWNLOAD"}) {
    const char* value = reloaded[key];
    const char* original = before[key];
    if (value != nullptr && (original == nullptr || std::string(value) != original)) __builtin_trap();
  }
  unlink(saved.c_str());
  return 0;
}

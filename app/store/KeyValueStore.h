#ifndef UPDATER_KEYVALUESTORE_H
#define UPDATER_KEYVALUESTORE_H

#include <map>
#include <string>

#include "aError.h"

// A small persistent dictionary of text keys and values, kept in a plain-text file of
// "key=value" lines. Typed getters and setters convert numbers to and from text.
//
// Reading a typed value (GetInt, GetHex, GetBOOL, GetDouble) of an absent key leaves that key
// behind with an empty value, which a later Save writes as "key=" and which every typed getter
// reads back as absent.
class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;
  static const char* const KEY_CREATED_TIME;
  static const char* const KEY_UPDATED_TIME;

  explicit KeyValueStore(const char* path = nullptr);

  // Reads `path` into the entries; a file that does not exist is created, holding the two
  // time stamps. Returns the result of closing the file (or of creating it).
  aErr Load(const char* path);
  // Writes every entry to `path`, or to the remembered file name, or to DEFAULT_FILENAME.
  // The old file is replaced whole or not at all.
  aErr Save(const char* path = nullptr);

  // The value's text, or null when the key is absent. Never creates an entry.
  const char* operator[](const char* key) const;
  // The value if the key exists (even if empty), else `defaultValue` ("" for null).
  std::string GetString(const char* key, const char* defaultValue = nullptr) const;
  int GetInt(const char* key, int defaultValue = 0);
  unsigned int GetHex(const char* key, unsigned int defaultValue = 0);
  bool GetBOOL(const char* key, bool defaultValue = false);
  double GetDouble(const char* key, double defaultValue = 0.0);

  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool AddHex(const char* key, unsigned int value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  // Copies every entry of `other`, overwriting equal keys.
  bool Add(const KeyValueStore& other);
  void Clear();

  const std::string& FileName() const { return fileName; }
  // The system's error number of the last Save that failed (0 after one that succeeded).
  int SaveError() const { return saveError; }
  bool IsDirty() const { return dirty; }
  size_t Count() const { return entries.size(); }

  // Current local time as ctime text without its line end, e.g. "Tue Mar  5 14:02:11 2024".
  static std::string CurrentTimeText();

 private:
  // The value text of `key` for the typed getters: created empty when absent.
  const std::string& ValueOrCreate(const char* key);
  void ParseLine(const char* line, size_t length);

  std::string fileName;
  std::map<std::string, std::string> entries;
  bool dirty = false;
  int saveError = 0;
};

#endif

#include "KeyValueStore.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "FileReplacer.h"
#include "Log.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

// Lines of this many bytes or more (without their newline) end the reading of a file.
const size_t kLineBufferSize = 2048;

bool sIsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

enum class LineRead { Line, End, TooLong, Error };

// Reads one line, newline included, into `buffer`. Unlike fgets it reports the exact length, so
// a NUL byte inside a line cannot make the parser look past what was read.
LineRead sReadLine(FILE* file, char* buffer, size_t size, size_t* length) {
  size_t n = 0;
  int c = 0;
  while (n + 1 < size && (c = getc(file)) != EOF) {
    buffer[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  *length = n;
  if (n > 0 && buffer[n - 1] == '\n') return LineRead::Line;
  if (n + 1 >= size) return LineRead::TooLong;
  if (ferror(file)) return LineRead::Error;
  return n > 0 ? LineRead::Line : LineRead::End;
}

// Line breaks would split an entry in two on the next load, so they become spaces.
std::string sOneLine(std::string line) {
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  return line;
}

int sToInt(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

aErr sReadOpenError(int error) { return (error == EACCES || error == EPERM) ? aErrPermission : aErrNotFound; }

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path) Load(path);
}

std::string KeyValueStore::CurrentTimeText() {
  std::time_t now = std::time(nullptr);
  char text[64] = "";
  ctime_r(&now, text);
  std::string result = text;
  while (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
}

aErr KeyValueStore::Load(const char* path) {
  if (path == nullptr) return aErrParam;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    int error = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
    // Only a file that is really missing is created: an unreadable one must not be overwritten.
    if (error != ENOENT) return sReadOpenError(error);
    Add(KEY_CREATED_TIME, CurrentTimeText());
    return Save(path);
  }
  fileName = path;
  dirty = false;
  char line[kLineBufferSize];
  size_t length = 0;
  LineRead state;
  while ((state = sReadLine(file, line, sizeof line, &length)) == LineRead::Line) ParseLine(line, length);
  if (state == LineRead::TooLong)
    Log::log(DEBUG_Attributes, "Attibutes: line too long in '%s', rest of file ignored\n", path);
  bool closed = std::fclose(file) == 0;
  return (closed && state != LineRead::Error) ? aErrNone : aErrIO;
}

void KeyValueStore::ParseLine(const char* line, size_t length) {
  if (length < 3 || line[0] == '#') return;
  const char* end = line + length;
  const char* keyStart = line;
  while (keyStart < end && sIsSpace(*keyStart)) ++keyStart;
  const char* equals = static_cast<const char*>(std::memchr(keyStart, '=', end - keyStart));
  // A line without an equals sign carries no value; it is skipped.
  if (equals == nullptr) return;
  const char* keyEnd = equals;
  while (keyEnd > keyStart && sIsSpace(keyEnd[-1])) --keyEnd;
  const char* valueStart = equals + 1;
  while (valueStart < end && sIsSpace(*valueStart)) ++valueStart;
  const char* valueEnd = end;
  while (valueEnd > valueStart && sIsSpace(valueEnd[-1])) --valueEnd;
  entries[std::string(keyStart, keyEnd)] = std::string(valueStart, valueEnd);
}

aErr KeyValueStore::Save(const char* path) {
  if (path != nullptr) {
    fileName = path;
  } else if (fileName.empty()) {
    fileName = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", DEFAULT_FILENAME);
  }
  if (dirty) Add(KEY_UPDATED_TIME, CurrentTimeText());
  std::string contents;
  for (const auto& entry : entries) contents += entry.first + "=" + entry.second + "\n";
  FileReplaceResult result = ReplaceFileContents(fileName, contents.data(), contents.size());
  saveError = result.systemError;
  if (result.code != aErrNone) {
    Log::log(DEBUG_Attributes,
             result.opened ? "Attibutes: Error - cannot write attributes file: '%s' (%d)\n"
                           : "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             fileName.c_str(), result.systemError);
    return result.code;
  }
  dirty = false;
  return aErrNone;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (key == nullptr) return nullptr;
  auto found = entries.find(key);
  return found == entries.end() ? nullptr : found->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  const char* value = (*this)[key];
  if (value) return value;
  return defaultValue ? defaultValue : "";
}

const std::string& KeyValueStore::ValueOrCreate(const char* key) { return entries[key]; }

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& value = ValueOrCreate(key);
  return value.empty() ? defaultValue : sToInt(value);
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& value = ValueOrCreate(key);
  // strtoul with base 16 accepts the optional "0x" prefix itself.
  return value.empty() ? defaultValue : static_cast<unsigned int>(std::strtoul(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& value = ValueOrCreate(key);
  return value.empty() ? defaultValue : sToInt(value) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& value = ValueOrCreate(key);
  return value.empty() ? defaultValue : std::strtod(value.c_str(), nullptr);
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  int length = std::snprintf(nullptr, 0, "%f", value);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(&text[0], text.size(), "%f", value);
  text.resize(static_cast<size_t>(length));
  return Add(key, text);
}

bool KeyValueStore::AddHex(const char* key, unsigned int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, text);
}

bool KeyValueStore::Add(const char* key, const char* value) { return Add(key, std::string(value ? value : "")); }

bool KeyValueStore::Add(const char* key, const std::string& value) {
  if (key == nullptr) return true;
  std::string text = sOneLine(value);
  std::string& stored = entries[key];
  if (stored != text) dirty = true;
  stored = std::move(text);
  return true;
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& entry : other.entries) entries[entry.first] = entry.second;
  dirty = true;
  return true;
}

void KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
}

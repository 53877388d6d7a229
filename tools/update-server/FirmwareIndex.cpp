#include "FirmwareIndex.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

const char* const FirmwareIndex::FILE_NAME = "index.txt";

namespace {

const char* const kAnyDevice = "*";

std::string sSerialKey(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

bool sAllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool sParseBuild(const std::string& text, uint32_t& value) {
  if (!sAllDigits(text) || text.size() > 10) return false;
  const unsigned long long parsed = std::stoull(text);
  if (parsed == 0 || parsed > UINT32_MAX) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool sValidVersion(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, '.')) parts.push_back(part);
  if (parts.size() != 3 || text.back() == '.') return false;
  for (const std::string& p : parts)
    if (!sAllDigits(p) || p.size() > 3) return false;
  return true;
}

// Build files must stay inside the served directory.
bool sSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  std::stringstream stream(path);
  std::string component;
  while (std::getline(stream, component, '/'))
    if (component == "..") return false;
  return true;
}

std::vector<std::string> sFields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream stream(line.substr(0, line.find('#')));
  std::string field;
  while (stream >> field) fields.push_back(field);
  return fields;
}

void sExpectFieldCount(const std::vector<std::string>& fields, size_t count, const char* form) {
  if (fields.size() != count) throw std::runtime_error(std::string("expected \"") + form + "\"");
}

uint32_t sSerial(const std::string& text) {
  uint32_t value = 0;
  if (!ParseHexWord(text, value))
    throw std::runtime_error("'" + text + "' is not a serial number of 8 hexadecimal digits");
  return value;
}

}  // namespace

bool ParseHexWord(const std::string& text, uint32_t& value) {
  if (text.size() != 8) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  value = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
  return true;
}

FirmwareIndex FirmwareIndex::Parse(const std::string& text, const std::string& source) {
  FirmwareIndex index;
  std::istringstream stream(text);
  std::string line;
  for (int number = 1; std::getline(stream, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
      index.ParseLine(sFields(line));
    } catch (const std::exception& e) {
      throw std::runtime_error(source + ":" + std::to_string(number) + ": " + e.what());
    }
  }
  // The updater downloads the build a fix entry names as a build of that device: one it is not
  // offered could never be recovered with.
  for (const RecoveryEntry& entry : index.recoveries_)
    if (index.BuildsFor(entry.serial).count(entry.build) == 0)
      throw std::runtime_error(source + ": fix entry for " + sSerialKey(entry.serial) + " names build " +
                               std::to_string(entry.build) + ", which is not offered to that device");
  return index;
}

FirmwareIndex FirmwareIndex::Load(const std::string& root) {
  const std::string path = root + "/" + FILE_NAME;
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << file.rdbuf();
  FirmwareIndex index = Parse(text.str(), path);
  for (const std::string& name : index.Files()) {
    struct stat info;
    const std::string filePath = root + "/" + name;
    if (stat(filePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      throw std::runtime_error(path + ": build file " + filePath + " is missing");
  }
  return index;
}

void FirmwareIndex::ParseLine(const std::vector<std::string>& fields) {
  if (fields.empty()) return;
  const std::string& kind = fields[0];
  if (kind == "device")
    AddDevice(fields);
  else if (kind == "build")
    AddBuild(fields);
  else if (kind == "fix")
    AddRecovery(fields);
  else
    throw std::runtime_error("unknown entry '" + kind + "' (device, build or fix)");
}

void FirmwareIndex::AddDevice(const std::vector<std::string>& fields) {
  sExpectFieldCount(fields, 3, "device <serial> <model>");
  const uint32_t serial = sSerial(fields[1]);
  if (!models_.emplace(serial, fields[2]).second)
    throw std::runtime_error("device " + sSerialKey(serial) + " listed twice");
}

void FirmwareIndex::AddBuild(const std::vector<std::string>& fields) {
  sExpectFieldCount(fields, 5, "build <scope> <build> <version> <file>");
  std::string scope = fields[1];
  uint32_t serial = 0;
  if (ParseHexWord(scope, serial)) scope = sSerialKey(serial);
  BuildEntry entry;
  if (!sParseBuild(fields[2], entry.build))
    throw std::runtime_error("'" + fields[2] + "' is not a build number (decimal, not 0)");
  if (!sValidVersion(fields[3])) throw std::runtime_error("'" + fields[3] + "' is not a version major.minor.patch");
  if (!sSafeRelativePath(fields[4]))
    throw std::runtime_error("'" + fields[4] + "' must be a path inside the firmware directory");
  entry.version = fields[3];
  entry.file = fields[4];
  if (!byScope_[scope].emplace(entry.build, entry).second)
    throw std::runtime_error("build " + fields[2] + " listed twice for " + scope);
}

void FirmwareIndex::AddRecovery(const std::vector<std::string>& fields) {
  sExpectFieldCount(fields, 7, "fix <w0> <w1> <w2> <w3> <serial> <build>");
  RecoveryEntry entry;
  for (size_t i = 0; i < 4; ++i) entry.fingerprint[i] = sSerial(fields[1 + i]);
  entry.serial = sSerial(fields[5]);
  if (!sParseBuild(fields[6], entry.build))
    throw std::runtime_error("'" + fields[6] + "' is not a build number (decimal, not 0)");
  if (FindRecovery(entry.fingerprint)) throw std::runtime_error("fingerprint listed twice");
  recoveries_.push_back(entry);
}

std::map<uint32_t, BuildEntry> FirmwareIndex::BuildsFor(uint32_t serial) const {
  std::map<uint32_t, BuildEntry> builds;
  // Most specific scope first: emplace keeps the first entry for a build number.
  std::vector<std::string> scopes = {sSerialKey(serial)};
  auto model = models_.find(serial);
  if (model != models_.end()) scopes.push_back(model->second);
  scopes.push_back(kAnyDevice);
  for (const std::string& scope : scopes) {
    auto found = byScope_.find(scope);
    if (found == byScope_.end()) continue;
    for (const auto& entry : found->second) builds.emplace(entry);
  }
  return builds;
}

const RecoveryEntry* FirmwareIndex::FindRecovery(const Fingerprint4& fingerprint) const {
  for (const RecoveryEntry& entry : recoveries_)
    if (entry.fingerprint == fingerprint) return &entry;
  return nullptr;
}

std::vector<std::string> FirmwareIndex::Files() const {
  std::set<std::string> files;
  for (const auto& scope : byScope_)
    for (const auto& entry : scope.second) files.insert(entry.second.file);
  return {files.begin(), files.end()};
}

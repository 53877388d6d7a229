#include "UpdateService.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "Base64.h"

namespace {

ServiceReply sOk(const std::string& lines = "") { return {200, "ok\n" + lines}; }

ServiceReply sError(int status, const std::string& reason) { return {status, "error: " + reason + "\n"}; }

std::string sSerialText(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string sParameter(const std::map<std::string, std::string>& query, const char* name) {
  auto found = query.find(name);
  return found == query.end() ? std::string() : found->second;
}

bool sReadFile(const std::string& path, std::string& content) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  content = bytes.str();
  return !file.bad();
}

std::string sBase64(const std::string& bytes) {
  int length = 0;
  std::unique_ptr<char, decltype(&std::free)> text(
      base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()), &length), &std::free);
  return text ? std::string(text.get(), static_cast<size_t>(length)) : std::string();
}

}  // namespace

UpdateService::UpdateService(std::string root, FirmwareIndex index) : root_(std::move(root)), index_(std::move(index)) {}

ServiceReply UpdateService::Handle(const std::map<std::string, std::string>& query) const {
  const std::string op = sParameter(query, "op");
  if (op == "hi") return Hello();
  if (op == "fix") return Recovery(sParameter(query, "fp"));
  if (op != "qu" && op != "builds" && op != "bird") return sError(400, "unknown op '" + op + "'");

  uint32_t serial = 0;
  if (!ParseHexWord(sParameter(query, "sn"), serial))
    return sError(400, "sn must be a serial number of 8 hexadecimal digits");
  if (op == "qu") return CurrentBuild(serial);
  if (op == "builds") return BuildList(serial);
  return BuildFile(serial, sParameter(query, "bld"));
}

ServiceReply UpdateService::Hello() const { return sOk(); }

ServiceReply UpdateService::CurrentBuild(uint32_t serial) const {
  const auto builds = index_.BuildsFor(serial);
  if (builds.empty()) return sError(200, "no builds for device " + sSerialText(serial));
  const BuildEntry& newest = builds.rbegin()->second;
  return sOk(std::to_string(newest.build) + "\n" + newest.file + "\n");
}

ServiceReply UpdateService::BuildList(uint32_t serial) const {
  std::string lines;
  for (const auto& entry : index_.BuildsFor(serial))
    lines += std::to_string(entry.first) + ";" + entry.second.version + "\n";
  return sOk(lines);
}

ServiceReply UpdateService::BuildFile(uint32_t serial, const std::string& buildText) const {
  const auto builds = index_.BuildsFor(serial);
  for (const auto& entry : builds) {
    if (std::to_string(entry.first) != buildText) continue;
    std::string bytes;
    if (!sReadFile(root_ + "/" + entry.second.file, bytes))
      return sError(500, "cannot read " + entry.second.file);
    return sOk(sBase64(bytes) + "\n");
  }
  return sError(200, "no build '" + buildText + "' for device " + sSerialText(serial));
}

ServiceReply UpdateService::Recovery(const std::string& fingerprintText) const {
  // The four words arrive separated by (decoded) blanks.
  std::istringstream stream(fingerprintText);
  Fingerprint4 fingerprint{};
  std::string word, extra;
  for (uint32_t& value : fingerprint)
    if (!(stream >> word) || !ParseHexWord(word, value))
      return sError(400, "fp must be four words of 8 hexadecimal digits");
  if (stream >> extra) return sError(400, "fp must be four words of 8 hexadecimal digits");

  const RecoveryEntry* entry = index_.FindRecovery(fingerprint);
  if (!entry) return sError(200, "unknown fingerprint");
  return sOk(sSerialText(entry->serial) + "\n" + std::to_string(entry->build) + "\n");
}

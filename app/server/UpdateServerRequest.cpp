#include "UpdateServerRequest.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "DefaultServer.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "aVersion.h"

namespace {

using Parameters = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string sHex32(unsigned int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Body lines, split at line feeds only; empty lines are dropped.
Lines sSplitLines(const std::string& body) {
  Lines lines;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    if (end > start) lines.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Fields of a text between any of the delimiters; empty fields are kept.
std::vector<std::string> sSplitFields(const std::string& text, const char* delimiters) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = text.find_first_of(delimiters, start);
    fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// The steps every request shares: GET, check the status and the "ok" line. On success
// `lines` holds the reply's lines, status line first.
bool sRequest(const char* name, const char* url, Parameters parameters, Lines& lines, std::string* failure) {
  const char* target = url ? url : UPDATER_DEFAULT_SERVER_URL;
  std::string why;
  try {
    HTTPResponse response = HTTPRequest::GET(target, parameters);
    if (response.get_status() != 200) {
      const int status = static_cast<int>(response.get_status());
      if (std::strcmp(name, "ping") == 0)
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", status, response.get_response());
      else
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, status, response.get_response());
      why = "the server answered with HTTP status " + std::to_string(status);
    } else {
      lines = sSplitLines(response.body());
      if (!lines.empty() && lines.front().compare(0, 2, "ok") == 0) return true;
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      why = lines.empty() ? "the server's answer was empty" : "the server refused: " + lines.front();
    }
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    why = e.what();
  }
  if (failure != nullptr) *failure = why;
  return false;
}

const std::string& sLineOrEmpty(const Lines& lines, size_t index) {
  static const std::string empty;
  return index < lines.size() ? lines[index] : empty;
}

// Reads a leading number the way strtoul does (trailing text such as a carriage return is
// ignored); false when there are no digits or the value does not fit in 32 bits.
bool sParseNumber(const std::string& text, int base, unsigned int& value) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
  const size_t firstNonBlank = text.find_first_not_of(" \t");
  if (end == text.c_str() || errno == ERANGE || parsed > UINT_MAX ||
      (firstNonBlank != std::string::npos && text[firstNonBlank] == '-'))
    return false;
  value = static_cast<unsigned int>(parsed);
  return true;
}

// A version reduced to what the comparison uses; invalid versions sort after all valid ones.
struct VersionKey {
  bool valid = false;
  int major = 0, minor = 0, patch = 0;  // the comparison takes each modulo 256
};

VersionKey sVersionKey(const std::string& version) {
  VersionKey key;
  const std::vector<std::string> parts = UpdateServerRequest::SplitAxonforgeVersion(version);
  if (parts.size() != 3) return key;
  try {
    key.major = std::stoi(parts[0]);
    key.minor = std::stoi(parts[1]);
    key.patch = std::stoi(parts[2]);
    key.valid = true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
  }
  return key;
}

// Strict weak ordering: valid versions newest first, then every invalid one (all equivalent).
bool sNewerThan(const VersionKey& a, const VersionKey& b) {
  if (!a.valid) return false;
  if (!b.valid) return true;
  return !aVersion_IsAtLeastCompare(static_cast<uint32_t>(b.major), static_cast<uint32_t>(b.minor),
                                    static_cast<uint32_t>(b.patch), static_cast<uint32_t>(a.major),
                                    static_cast<uint32_t>(a.minor), static_cast<uint32_t>(a.patch));
}

}  // namespace

bool UpdateServerRequest::ping(const char* url, std::string* failure) {
  Lines lines;
  return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, lines, failure);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build, std::string& firmware,
                                     const char* url, std::string* failure) {
  Lines lines;
  if (!sRequest("QueryBuild", url, {{"op", "qu"}, {"sn", sHex32(serial)}}, lines, failure)) return false;
  if (lines.size() > 1) build = lines[1];
  if (lines.size() > 2) firmware = lines[2].substr(0, lines[2].find_first_of("\r\n"));
  return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* firmware, const char* build, std::string& text,
                                   const char* url, bool noCal, std::string* failure) {
  Lines lines;
  Parameters parameters = {{"op", "bird"},
                           {"sn", sHex32(serial)},
                           {"fw", firmware ? firmware : ""},
                           {"bld", build ? build : ""},
                           {"no_cal", noCal ? "true" : "false"}};
  if (!sRequest("GetBuild", url, std::move(parameters), lines, failure)) return false;
  text.clear();
  if (lines.size() > 1) text = std::move(lines[1]);
  return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                                       const char* url, std::string* failure) {
  static const char* const kName = "GetBuildList";
  builds.clear();
  Lines lines;
  if (!sRequest(kName, url, {{"op", "builds"}, {"sn", sHex32(serial)}}, lines, failure)) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", kName, lines[i].c_str());
    const std::vector<std::string> fields = sSplitFields(lines[i], ";\r\n");
    const std::string version = fields.size() > 1 ? fields[1] : std::string();
    if (builds.emplace(fields[0], version).second)
      Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", kName, fields[0].c_str(), version.c_str());
  }
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial,
                                          unsigned int* build, const char* url) {
  static const char* const kName = "GetRecoveryInfo";
  char words[64];
  std::snprintf(words, sizeof words, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
                fingerprint[2], fingerprint[3]);
  Lines lines;
  if (!sRequest(kName, url, {{"op", "fix"}, {"fp", words}, {"brief", "true"}}, lines, nullptr)) return false;
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", kName, lines[0].c_str(), sLineOrEmpty(lines, 1).c_str(),
           sLineOrEmpty(lines, 2).c_str());

  // Both numbers are read before either output is written, so a bad reply changes nothing.
  unsigned int newSerial = *serial;
  unsigned int newBuild = *build;
  if ((lines.size() > 1 && !sParseNumber(lines[1], 16, newSerial)) ||
      (lines.size() > 2 && !sParseNumber(lines[2], 0, newBuild))) {
    Log::log(DEBUG_ServerComm, "%s: unreadable number in reply [%.20s][%.20s]\n", kName,
             sLineOrEmpty(lines, 1).c_str(), sLineOrEmpty(lines, 2).c_str());
    return false;
  }
  *serial = newSerial;
  *build = newBuild;
  return true;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  // Each version is read once, so the comparison stays consistent and logs each failure once.
  std::vector<std::pair<VersionKey, std::pair<std::string, std::string>>> keyed;
  keyed.reserve(builds.size());
  for (const auto& entry : builds) keyed.emplace_back(sVersionKey(entry.second), entry);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return sNewerThan(a.first, b.first); });

  std::vector<std::pair<std::string, std::string>> sorted;
  sorted.reserve(keyed.size());
  for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
  return sorted;
}

std::vector<std::string> UpdateServerRequest::SplitAxonforgeVersion(std::string version) {
  std::vector<std::string> parts = sSplitFields(version, ".");
  if (parts.size() != 3) parts.clear();
  return parts;
}

#ifndef TOOLS_UPDATESERVER_FIRMWAREINDEX_H
#define TOOLS_UPDATESERVER_FIRMWAREINDEX_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The index of a firmware directory: which builds each device gets and which device and
// build a recovery fingerprint stands for. Text format, one entry per line, fields
// separated by blanks, '#' starts a comment:
//
//   device <serial> <model>                         which model a device is
//   build  <scope> <build> <version> <file>         a build; scope = serial, model or *
//   fix    <w0> <w1> <w2> <w3> <serial> <build>     recovery: fingerprint -> serial, build
//
// The build a fix entry names must be offered to its serial by a build entry: that build is the
// device's recovery image (for an LPC part, firmware masked with the fingerprint).
// Serial numbers and fingerprint words are 8 hexadecimal digits, builds decimal (not 0),
// versions major.minor.patch, files relative to the directory (no "..").
struct BuildEntry {
  uint32_t build = 0;
  std::string version;
  std::string file;
};

using Fingerprint4 = std::array<uint32_t, 4>;

struct RecoveryEntry {
  Fingerprint4 fingerprint{};
  uint32_t serial = 0;
  uint32_t build = 0;
};

class FirmwareIndex {
 public:
  static const char* const FILE_NAME;  // "index.txt"

  // Parses index text; throws std::runtime_error "<source>:<line>: <reason>" on the first bad line.
  static FirmwareIndex Parse(const std::string& text, const std::string& source);
  // Reads <root>/index.txt and checks that every build file is there; throws std::runtime_error.
  static FirmwareIndex Load(const std::string& root);

  // The builds one device is offered, by build number. For the same build number a serial
  // entry beats a model entry, which beats a * entry.
  std::map<uint32_t, BuildEntry> BuildsFor(uint32_t serial) const;
  // The recovery entry for a fingerprint, or null.
  const RecoveryEntry* FindRecovery(const Fingerprint4& fingerprint) const;
  // Every distinct build file named by the index.
  std::vector<std::string> Files() const;

 private:
  void ParseLine(const std::vector<std::string>& fields);
  void AddDevice(const std::vector<std::string>& fields);
  void AddBuild(const std::vector<std::string>& fields);
  void AddRecovery(const std::vector<std::string>& fields);

  std::map<uint32_t, std::string> models_;                            // serial -> model
  std::map<std::string, std::map<uint32_t, BuildEntry>> byScope_;  // "%08X", model or "*"
  std::vector<RecoveryEntry> recoveries_;
};

// Reads exactly 8 hexadecimal digits (a serial number or fingerprint word); false otherwise.
bool ParseHexWord(const std::string& text, uint32_t& value);

#endif

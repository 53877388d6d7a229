#include "ModuleSpec.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace devsim {

uint32_t FirmwareVersion::packed() const {
  if (major > 2 || (major == 2 && minor > 14)) {
    return 0x2F000000u | ((major & 0xFF) << 16) | ((minor & 0xFF) << 8) | (patch & 0xFF);
  }
  return ((major & 0xF) << 28) | ((minor & 0xF) << 24) | (patch & 0xFFFFFF);
}

std::string FirmwareVersion::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool ParseSerial(const std::string& text, uint32_t* out) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 8) return false;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  *out = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
  return true;
}

std::string SerialText(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

namespace {

bool ParseVersion(const std::string& text, FirmwareVersion* out) {
  unsigned major, minor, patch;
  int used = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u%n", &major, &minor, &patch, &used) != 3 ||
      static_cast<size_t>(used) != text.size() || major > 255 || minor > 255 || patch > 0xFFFFFF) {
    return false;
  }
  if (!(major > 2 || (major == 2 && minor > 14)) && (major > 15 || minor > 15)) return false;
  if ((major > 2 || (major == 2 && minor > 14)) && patch > 255) return false;
  *out = {major, minor, patch};
  return true;
}

bool ParseIdentifiers(const std::string& text, std::array<uint32_t, 4>* out) {
  std::stringstream in(text);
  std::string part;
  std::array<uint32_t, 4> words{};
  size_t n = 0;
  while (std::getline(in, part, ':')) {
    if (n == 4 || !ParseSerial(part, &words[n])) return false;
    ++n;
  }
  if (n != 4) return false;
  *out = words;
  return true;
}

// One key of the module syntax: takes the value text ("" for a bare flag) and reports success.
using KeyParser = std::function<bool(ModuleSpec&, const std::string&, bool hasValue)>;

template <typename T>
KeyParser Number(T ModuleSpec::*field, uint64_t max) {
  return [field, max](ModuleSpec& m, const std::string& v, bool hasValue) {
    uint64_t n;
    if (!hasValue || !ParseNumber(v, max, &n)) return false;
    m.*field = static_cast<T>(n);
    return true;
  };
}

// A bare flag means on; otherwise 1/on/yes or 0/off/no.
bool ParseFlag(const std::string& v, bool hasValue, bool* out) {
  if (!hasValue || v == "1" || v == "on" || v == "yes") {
    *out = true;
  } else if (v == "0" || v == "off" || v == "no") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

KeyParser Flag(bool ModuleSpec::*field) {
  return [field](ModuleSpec& m, const std::string& v, bool hasValue) { return ParseFlag(v, hasValue, &(m.*field)); };
}

KeyParser FlagWithText(bool ModuleSpec::*flag, std::string ModuleSpec::*text) {
  return [flag, text](ModuleSpec& m, const std::string& v, bool hasValue) {
    m.*flag = true;
    if (hasValue) m.*text = v;
    return !hasValue || !v.empty();
  };
}

const std::map<std::string, KeyParser>& Keys() {
  static const std::map<std::string, KeyParser> keys = {
      {"serial", [](ModuleSpec& m, const std::string& v, bool h) { return h && ParseSerial(v, &m.serial); }},
      {"model", Number(&ModuleSpec::model, 255)},
      {"address", Number(&ModuleSpec::address, 254)},
      {"build", Number(&ModuleSpec::build, 0xFFFFFFFFu)},
      {"version", [](ModuleSpec& m, const std::string& v, bool h) { return h && ParseVersion(v, &m.version); }},
      {"behind",
       [](ModuleSpec& m, const std::string& v, bool h) {
         m.behindRouter = true;
         return h && ParseSerial(v, &m.routerSerial);
       }},
      {"id", [](ModuleSpec& m, const std::string& v, bool h) { return h && ParseIdentifiers(v, &m.identifiers); }},
      {"features", Number(&ModuleSpec::protocolFeatures, 0xFFFFFFFFu)},
      {"pooled",
       [](ModuleSpec& m, const std::string& v, bool h) {
         bool on;
         if (!ParseFlag(v, h, &on)) return false;
         m.protocolFeatures = on ? (m.protocolFeatures | kPooledPacketsFeature)
                                 : (m.protocolFeatures & ~kPooledPacketsFeature);
         return true;
       }},
      {"hwversion", Number(&ModuleSpec::hardwareVersion, 0xFFFFFFFFu)},
      {"ueibytes", Flag(&ModuleSpec::ueiBytesUpgrade)},
      {"blocksize", Number(&ModuleSpec::blockSize, 0xFFFF)},
      {"loadbase", Number(&ModuleSpec::loadBase, 0xFFFFFFFFu)},
      {"ram", Number(&ModuleSpec::ramSize, 64u << 20)},
      {"name", [](ModuleSpec& m, const std::string& v, bool h) {
         m.name = v;
         return h;
       }},
      {"bytesmax", Number(&ModuleSpec::bytesValueMax, kMaxUeiBytesValue)},
      {"tcp",
       [](ModuleSpec& m, const std::string& v, bool h) {
         uint64_t port = 0;
         if (h && !ParseNumber(v, 65535, &port)) return false;
         m.tcpPort = static_cast<int>(port);
         return true;
       }},
      {"serialport", FlagWithText(&ModuleSpec::serialPty, &ModuleSpec::serialLink)},
      {"kdev", FlagWithText(&ModuleSpec::kernelNode, &ModuleSpec::kernelNodePath)},
      {"usb", Flag(&ModuleSpec::usb)},
      {"usbvendor", Number(&ModuleSpec::usbVendor, 0xFFFF)},
      {"usbproduct", Number(&ModuleSpec::usbProduct, 0xFFFF)},
      {"restart", Number(&ModuleSpec::restartDelayMs, 600000)},
      {"loaderserial", Flag(&ModuleSpec::loaderUsesDefaultSerial)},
      {"startloader", Flag(&ModuleSpec::startsInLoader)},
      {"hb", Number(&ModuleSpec::heartbeatInterval, 255)},
      {"hbvalue",
       [](ModuleSpec& m, const std::string& v, bool) {
         if (v != "0" && v != "1" && v != "alt") return false;
         m.heartbeatValue = v == "alt" ? kHeartbeatAlternates : v[0] - '0';
         return true;
       }},
      {"sample", Number(&ModuleSpec::samplePeriodMs, 600000)},
  };
  return keys;
}

}  // namespace

bool ParseModuleSpec(const std::string& text, ModuleSpec* out, std::string* error) {
  ModuleSpec m;
  bool identifiersGiven = false;
  bool serialGiven = false;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.empty()) continue;
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    bool hasValue = eq != std::string::npos;
    std::string value = hasValue ? item.substr(eq + 1) : "";
    auto it = Keys().find(key);
    if (it == Keys().end()) {
      *error = "unknown module key '" + key + "'";
      return false;
    }
    if (!it->second(m, value, hasValue)) {
      *error = "bad value for module key '" + key + "': '" + value + "'";
      return false;
    }
    identifiersGiven |= key == "id";
    serialGiven |= key == "serial";
  }
  if (!serialGiven || m.serial == 0) {
    *error = "a module needs a non-zero serial=";
    return false;
  }
  if (m.address == 0 || (m.address & 1) != 0) {
    *error = "module address must be even and between 2 and 254";
    return false;
  }
  if (m.name.size() > m.bytesValueMax) {
    *error = "name is longer than bytesmax (" + std::to_string(m.bytesValueMax) + ")";
    return false;
  }
  if (m.blockSize == 0) {
    *error = "blocksize must be above 0";
    return false;
  }
  if (m.behindRouter && (m.tcpPort >= 0 || m.serialPty || m.kernelNode || m.usb)) {
    *error = "a module behind a router is reached through the router; give it no transport";
    return false;
  }
  if (!identifiersGiven) {
    // Distinct, stable identifier words derived from the serial number.
    for (size_t i = 0; i < 4; ++i) m.identifiers[i] = m.serial ^ (0x9E3779B9u * static_cast<uint32_t>(i + 1));
  }
  *out = m;
  return true;
}

const char* ModuleSpecHelp() {
  return
      "Module description: comma-separated KEY=VALUE items (numbers decimal or 0x hex):\n"
      "  serial=HEX          serial number (required), e.g. serial=0x1234ABCD\n"
      "  model=N             model number (default 0); address=N  even module address (default 2)\n"
      "  build=N             firmware build; version=MAJ.MIN.PATCH firmware version (default 1.0.0)\n"
      "  behind=HEX          the module sits on the I2C bus of the router with this serial number\n"
      "  id=W0:W1:W2:W3      hardware identifier words, system option 39 subindex 0..3 (hex)\n"
      "  features=N          protocol features word (option 45); pooled  sets bit 31 (pooled packets)\n"
      "  hwversion=N         hardware version (option 40)\n"
      "  ueibytes[=0|1]      accept upgrade blocks as one UEI bytes value (option 10)\n"
      "  blocksize=N         device block size of the upgrade entity (default 1024)\n"
      "  loadbase=N          load base reported by the upgrade init (default 0x20000000)\n"
      "  ram=N               upgrade bytes held before a write (default 1048576)\n"
      "  name=TEXT           module name (option 32)\n"
      "  bytesmax=N          largest value the bytes options 31 and 32 hold (default 64, at most 65536)\n"
      "  tcp[=PORT]          TCP listener (PORT 0 or absent: ephemeral)\n"
      "  serialport[=LINK]   pseudo-terminal serial port; LINK: symlink to its slave path\n"
      "  kdev[=PATH]         kernel-driver node: a pseudo-terminal symlinked at PATH\n"
      "                      (default /dev/axonforge.%08X; %08X becomes the current serial)\n"
      "  usb                 present the module through --usb-dir\n"
      "  usbvendor=N usbproduct=N  USB identity (default 0x24ff and the model number)\n"
      "  restart=MS          time a load, reboot or reset keeps the module away (default 1000)\n"
      "  loaderserial        while running its loader the module reports serial DEADDEAD\n"
      "  startloader         the module starts running its loader (as after a recovery load)\n"
      "  hb=N                heartbeat interval in 100 ms units, 0 = none (default 10)\n"
      "  hbvalue=0|1|alt     v of the heartbeats 0x00, v (default alt: 0, 1, 0, ...); the host must\n"
      "                      answer 0x00, v + 2\n"
      "  sample=MS           stream sample period (default 200)\n";
}

}  // namespace devsim

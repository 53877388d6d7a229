#ifndef DEVSIM_MODULESPEC_H
#define DEVSIM_MODULESPEC_H

#include <array>
#include <cstdint>
#include <string>

#include "LinkHeartbeat.h"

namespace devsim {

// Serial number a module reports while it runs its loader without a serial of its own.
constexpr uint32_t kLoaderSerial = 0xDEADDEAD;
constexpr uint16_t kFamilyVendor = 0x24FF;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
// The longest bytes value a module receives; a longer one is refused with aErrOverrun.
constexpr uint32_t kMaxUeiBytesValue = 64u << 10;

struct FirmwareVersion {
  unsigned major = 1;
  unsigned minor = 0;
  unsigned patch = 0;

  // The packed 32-bit word the system entity reports: 0x2F, major, minor, patch for 2.15 and
  // later; the legacy nibble layout (major, minor, 24-bit patch) before that.
  uint32_t packed() const;
  std::string text() const;
};

// Everything that describes one simulated module: identity, firmware, upgrade capabilities,
// where it sits (directly reachable, or on another module's I2C bus) and how it is reached.
struct ModuleSpec {
  uint32_t serial = 0;
  uint8_t model = 0;
  uint8_t address = 2;
  uint32_t build = 1;
  FirmwareVersion version;
  bool behindRouter = false;
  uint32_t routerSerial = 0;  // the module on whose bus this one sits
  std::array<uint32_t, 4> identifiers{};  // system option 39, subindex 0..3
  uint32_t protocolFeatures = 0;
  uint32_t hardwareVersion = 1;
  bool ueiBytesUpgrade = false;
  uint16_t blockSize = 1024;
  uint32_t loadBase = 0x20000000;
  uint32_t ramSize = 1u << 20;  // bytes the upgrade entity can hold before a write
  std::string name;
  uint32_t bytesValueMax = 64;  // largest value a bytes option of the system entity holds

  // Transports (only for directly reachable modules).
  int tcpPort = -1;  // -1: none, 0: ephemeral
  bool serialPty = false;
  std::string serialLink;  // optional symlink to the pty slave
  bool kernelNode = false;
  std::string kernelNodePath = "/dev/axonforge.%08X";  // "%08X" becomes the current serial
  bool usb = false;
  uint16_t usbVendor = kFamilyVendor;
  int usbProduct = -1;  // -1: the model number

  // Behaviour.
  uint32_t restartDelayMs = 1000;  // how long a load, reboot or reset keeps the module away
  bool loaderUsesDefaultSerial = false;
  bool startsInLoader = false;  // as a device that was just given a recovery loader
  uint8_t heartbeatInterval = 10;  // in 100 ms units, 0 = none
  int heartbeatValue = kHeartbeatAlternates;  // v of every heartbeat 0x00, v: 0 or 1
  uint32_t samplePeriodMs = 200;

  bool direct() const { return !behindRouter; }
  uint16_t productId() const { return static_cast<uint16_t>(usbProduct < 0 ? model : usbProduct); }
};

// Parses "serial=0x1234ABCD,model=17,address=6,..." (see ModuleSpecHelp()).
bool ParseModuleSpec(const std::string& text, ModuleSpec* out, std::string* error);
// The description of the module syntax for devsim --help.
const char* ModuleSpecHelp();
// Numbers as the command line takes them: decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out);
// Serial numbers are always hexadecimal, with or without 0x.
bool ParseSerial(const std::string& text, uint32_t* out);
std::string SerialText(uint32_t serial);

}  // namespace devsim

#endif

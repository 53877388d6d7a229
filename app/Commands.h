#ifndef UPDATER_COMMANDS_H
#define UPDATER_COMMANDS_H

#include <cstdint>

// Command bits; each command option sets one.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_LIST_LOCAL_BUILDS = 0x00000200,
  CMD_HELP = 0x80000000,
};

// The bits that count as "a command was given".
const uint32_t COMMAND_MASK = 0x000307FF;

class CommandsClass {
 public:
  CommandsClass() : word(0) {}
  void Set(uint32_t command) { word |= command; }
  // True when any bit of the argument is set, so a mask asks "any of these?".
  bool IsSet(uint32_t command) const { return (word & command) != 0; }

 private:
  uint32_t word;
};

#endif

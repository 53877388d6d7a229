#ifndef UPDATER_LOG_H
#define UPDATER_LOG_H

#include <cstdint>
#include <cstdio>

// Package bits of the diagnostic log; -X on the command line turns them on.
enum LogPackage : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,  // listed as "DEBUG_Network" in the usage text; unused
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

// Process-wide diagnostic log. Lines are written only for packages enabled in the mask
// (package 0 is always written). No lock: each line is one formatted write.
class Log {
 public:
  static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE* file);
  static void ActivatePackage(uint32_t mask);
  static void DeactivatePackage(uint32_t mask);
  static uint32_t PackageMask();

  static bool timestamped;
  static const char* const TIMESTAMP_FORMAT;
  static const char* const SEPARATOR;

 private:
  static uint32_t package_bitmask;
  static FILE* fh;
};

#endif

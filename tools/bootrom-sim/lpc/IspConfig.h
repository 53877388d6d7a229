#ifndef BOOTROMSIM_ISPCONFIG_H
#define BOOTROMSIM_ISPCONFIG_H

#include <cstdint>

namespace lpcsim {

// What the simulated LPC17xx says about itself, how long its flash takes, and its faults.
struct IspConfig {
  uint32_t partId = 0x26013F37;  // LPC1768
  uint32_t deviceId[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
  uint32_t bootMajor = 4;
  uint32_t bootMinor = 1;
  // Data-sheet figures: about 100 ms to erase a sector, about 1 ms to program 256 bytes.
  uint32_t eraseMsPerSector = 100;
  uint32_t programMsPerPage = 1;
  // The n-th checksum exchange of the session (1-based; 0: none) fails once: a received block
  // is answered "RESEND", a sent block carries a wrong checksum.
  uint32_t badChecksumAt = 0;
  // Every command with this letter (0: none) is answered with refuseCode.
  char refuseCommand = 0;
  uint32_t refuseCode = 0;
  // After answering this many copy commands (0: never) the chip answers nothing more, as a
  // device that loses power or its line in the middle of programming.
  uint32_t silentAfterCopies = 0;
};

}  // namespace lpcsim

#endif

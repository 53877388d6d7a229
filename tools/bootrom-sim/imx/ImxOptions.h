#ifndef BOOTROM_IMX_IMXOPTIONS_H
#define BOOTROM_IMX_IMXOPTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "SdpMemory.h"

namespace bootrom::imx {

// The i.MX boot ROM's own options (the ones after the common ones of bootrom-sim).
struct ImxOptions {
  std::string hidDir;
  std::string dumpDir;
  std::string devsim;
  std::string devsimEmulator;  // runs the devsim program when the kernel cannot (a cross build's)
  std::string usbDir;
  std::string loaderModule = "serial=0xDEADDEAD,usb,startloader";
  std::vector<RamRegion> ram;
  std::map<uint32_t, uint32_t> registers;
  uint32_t habMode = 0;
  bool shortAnswers = false;
};

// False with a reason for a bad command line. Options not given take the defaults of an
// i.MX RT105x in serial download mode.
bool ParseImxOptions(const std::vector<std::string>& args, ImxOptions* options, std::string* error);
// The options' help text, one option a line, and what the ROM answers.
std::string ImxUsage();

}  // namespace bootrom::imx

#endif

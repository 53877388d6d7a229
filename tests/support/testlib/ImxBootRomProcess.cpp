#include "ImxBootRomProcess.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "ChildProgram.h"
#include "DevSimProcess.h"
#include "Module.h"
#include "Polling.h"
#include "UsbSimBus.h"

namespace {

constexpr int kReadyPolls = 3000;  // 10 ms each: a sanitizer build starts slowly

// Points an environment variable at value and returns what it held ("" when unset).
std::string Replace(const char* name, const std::string& value) {
  const char* previous = getenv(name);
  std::string saved = previous ? previous : "";
  setenv(name, value.c_str(), 1);
  return saved;
}

void Restore(const char* name, const std::string& saved) {
  if (saved.empty()) unsetenv(name);
  else setenv(name, saved.c_str(), 1);
}

}  // namespace

std::string HidSimLibraryPath() { return PROJECT_BINARY_DIR "/tests/support/hidsim/libhidsim.so"; }

std::string ImxBootRomProcess::Binary() { return PROJECT_BINARY_DIR "/tools/bootrom-sim/bootrom-sim"; }

ImxBootRomProcess::ImxBootRomProcess(const std::vector<std::string>& args)
    : tty_(dir_ / "tty"), hidDir_(dir_ / "hid"), usbDir_(dir_ / "usb"), ramDir_(dir_ / "ram"),
      logFile_(dir_ / "bootrom-sim.log") {
  for (const std::string& d : {hidDir_, usbDir_, ramDir_}) mkdir(d.c_str(), 0755);
  previousHid_ = Replace("AXONFORGE_HIDSIM_DIR", hidDir_);
  previousUsb_ = Replace("AXONFORGE_USBSIM_DIR", usbDir_);
  const std::string readyFile = dir_ / "ready";
  std::vector<std::string> command = {Binary(),  "--chip",       "imx",   "--pty-link",    tty_,
                                      "--ready-file", readyFile, "--hid-dir", hidDir_,  "--dump-dir",
                                      ramDir_,   "--devsim",     DevSimProcess::Binary(), "--usb-dir", usbDir_};
  if (!ChildEmulator().empty()) command.insert(command.end(), {"--devsim-emulator", ChildEmulator()});
  command.insert(command.end(), args.begin(), args.end());
  if (!process_.Start(command, logFile_)) return;
  ready_ = process_.WaitUntil([readyFile] { return access(readyFile.c_str(), F_OK) == 0; }, kReadyPolls);
}

ImxBootRomProcess::~ImxBootRomProcess() {
  Stop();
  Restore("AXONFORGE_HIDSIM_DIR", previousHid_);
  Restore("AXONFORGE_USBSIM_DIR", previousUsb_);
}

std::vector<uint8_t> ImxBootRomProcess::ram(uint32_t regionAddress, uint32_t offset, size_t count) const {
  char name[16];
  std::snprintf(name, sizeof name, "%08X.bin", regionAddress);
  const std::string bytes = ReadTextFile(ramDir_ + "/" + name);
  if (offset + count > bytes.size()) return {};
  return std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + count);
}

bool ImxBootRomProcess::loaderAnswersOnUsb(uint32_t serial) const {
  Tessaron::Axonforge::Module module(0, false, 0);
  Tessaron::Axonforge::aWeaveConfig direct;
  direct.enabled = false;
  direct.fallback = false;
  if (module.setConfig(direct) != aErrNone) return false;
  return polling::Eventually([&] { return module.discoverAndConnect(USB, serial) == aErrNone; }, 20000);
}

std::vector<std::string> ImxBootRomProcess::childEnvironment() const {
  std::vector<std::string> environment = UsbSimChildEnvironment(usbDir_);
  for (std::string& entry : environment)
    if (entry.rfind("LD_PRELOAD=", 0) == 0) entry += ":" + HidSimLibraryPath();
  environment.push_back("AXONFORGE_HIDSIM_DIR=" + hidDir_);
  return environment;
}

std::string ImxBootRomProcess::Log() const { return ReadTextFile(logFile_); }

int ImxBootRomProcess::Stop() { return process_.Stop(); }

#include "LpcSimProcess.h"

#include <unistd.h>

namespace {

constexpr int kReadyPolls = 3000;  // 10 ms each: a sanitizer build starts slowly

}  // namespace

std::string LpcSimProcess::Binary() { return PROJECT_BINARY_DIR "/tools/bootrom-sim/bootrom-sim"; }

LpcSimProcess::LpcSimProcess(const std::vector<std::string>& args)
    : port_(dir_ / "ttyLPC"), readyFile_(dir_ / "ready"), logFile_(dir_ / "sim.log"), flashFile_(dir_ / "flash.bin") {
  std::vector<std::string> command = {Binary(), "--chip", "lpc17xx", "-v", "--pty-link", port_,
                                      "--ready-file", readyFile_, "--flash-dump", flashFile_};
  command.insert(command.end(), args.begin(), args.end());
  if (!process_.Start(command, logFile_)) return;
  ready_ = process_.WaitUntil([this] { return access(readyFile_.c_str(), F_OK) == 0; }, kReadyPolls);
}

std::string LpcSimProcess::Log() const { return ReadTextFile(logFile_); }

int LpcSimProcess::Stop() { return process_.Stop(); }

std::vector<uint8_t> LpcSimProcess::Flash() const {
  const std::string image = ReadTextFile(flashFile_);
  return std::vector<uint8_t>(image.begin(), image.end());
}

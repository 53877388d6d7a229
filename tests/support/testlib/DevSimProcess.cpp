#include "DevSimProcess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "UsbSimBus.h"

namespace {

constexpr int kReadyPolls = 3000;  // 10 ms each: a sanitizer build starts slowly

std::vector<std::string> sLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line != "ready") lines.push_back(line);
  return lines;
}

}  // namespace

std::string DevSimProcess::Binary() { return PROJECT_BINARY_DIR "/tools/devsim/devsim"; }

DevSimProcess::DevSimProcess(const std::vector<std::string>& args)
    : usbDir_(dir_ / "usb"), readyFile_(dir_ / "ready"), logFile_(dir_ / "devsim.log") {
  mkdir(usbDir_.c_str(), 0755);
  std::vector<std::string> command = {Binary(), "--usb-dir", usbDir_, "--ready-file", readyFile_};
  command.insert(command.end(), args.begin(), args.end());
  if (!process_.Start(command, logFile_)) return;
  // devsim writes the ready file whole (by renaming it into place) once every endpoint is open.
  ready_ = process_.WaitUntil([this] { return access(readyFile_.c_str(), F_OK) == 0; }, kReadyPolls);
  if (ready_) endpoints_ = sLines(ReadTextFile(readyFile_));
}

DevSimProcess::~DevSimProcess() { Stop(); }

uint16_t DevSimProcess::tcpPort(uint32_t serial) const {
  const std::string prefix = "tcp " + SerialText(serial) + " ";
  for (const std::string& line : endpoints_) {
    if (line.rfind(prefix, 0) != 0) continue;
    const size_t colon = line.rfind(':');
    if (colon != std::string::npos) return static_cast<uint16_t>(std::stoul(line.substr(colon + 1)));
  }
  return 0;
}

std::vector<std::string> DevSimProcess::childEnvironment() const { return UsbSimChildEnvironment(usbDir_); }

std::string DevSimProcess::Log() const { return ReadTextFile(logFile_); }

int DevSimProcess::Stop() { return process_.Stop(); }

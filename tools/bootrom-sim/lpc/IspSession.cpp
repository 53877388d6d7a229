#include "IspSession.h"

#include <cstdlib>
#include <sstream>

#include "UuLine.h"

namespace lpcsim {

namespace {

// The boot loader's return codes.
enum Code : uint32_t {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
};

const uint32_t kUnlockCode = 23130;
const uint32_t kLinesPerChecksum = 20;
const uint32_t kPageBytes = 256;
// Longer lines than any command or data line are refused as a whole.
const size_t kMaxLine = 200;

bool sIsNumber(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return strtoull(text.c_str(), nullptr, 10) <= 0xFFFFFFFFull;
}

uint32_t sSum(const std::vector<uint8_t>& bytes) {
  uint32_t total = 0;
  for (uint8_t b : bytes) total += b;
  return total;
}

std::string sHex(uint32_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

}  // namespace

IspSession::IspSession(const IspConfig& config, Lpc17xxMemory& memory, Io io)
    : config_(config), memory_(memory), io_(std::move(io)) {}

void IspSession::feed(uint8_t byte) {
  if (state_ == State::Started || state_ == State::Silent) return;
  if (state_ == State::AwaitSync) {
    // Auto-baud: the chip measures the "?" and answers at the host's rate; anything else is noise.
    if (byte == '?') {
      io_.send("Synchronized\r\n");
      state_ = State::SyncWord;
      line_.clear();
      lineOverflow_ = false;
    }
    return;
  }
  if (echo_) io_.send(std::string(1, static_cast<char>(byte)));
  if (byte != '\n') {
    if (line_.size() < kMaxLine) line_.push_back(static_cast<char>(byte));
    else lineOverflow_ = true;
    return;
  }
  std::string line;
  line.swap(line_);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (lineOverflow_) {
    lineOverflow_ = false;
    io_.note("line longer than " + std::to_string(kMaxLine) + " characters refused");
    line = "\x01";  // no command, no data line, no checksum
  }
  onLine(line);
}

void IspSession::onLine(const std::string& line) {
  switch (state_) {
    case State::SyncWord:
      if (line == "Synchronized") {
        io_.send("OK\r\n");
        state_ = State::Crystal;
      } else {
        io_.note("synchronisation word [" + line + "] refused; auto-baud restarts");
        state_ = State::AwaitSync;
      }
      break;
    case State::Crystal:
      if (sIsNumber(line)) {
        io_.note("synchronised, crystal " + line + " kHz");
        io_.send("OK\r\n");
        state_ = State::Command;
      } else {
        io_.note("crystal frequency [" + line + "] refused; auto-baud restarts");
        state_ = State::AwaitSync;
      }
      break;
    case State::Command: command(line); break;
    case State::WriteData: writeDataLine(line); break;
    case State::ReadAck: readAck(line); break;
    case State::AwaitSync:
    case State::Started:
    case State::Silent: break;
  }
}

void IspSession::reply(uint32_t code) { io_.send(std::to_string(code) + "\r\n"); }

uint32_t IspSession::sectorRangeCode(const std::vector<uint32_t>& args) const {
  if (args.size() != 2) return PARAM_ERROR;
  if (args[1] < args[0] || args[1] >= Lpc17xxMemory::kSectors) return INVALID_SECTOR;
  return CMD_SUCCESS;
}

void IspSession::command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return;
  if (words[0].size() != 1) {
    io_.note("[" + line + "] -> " + std::to_string(INVALID_COMMAND));
    reply(INVALID_COMMAND);
    return;
  }
  const char letter = words[0][0];
  std::string mode;
  if (letter == 'G' && words.size() == 3) {
    mode = words[2];
    words.pop_back();
  }
  std::vector<uint32_t> args;
  bool numbers = true;
  for (size_t i = 1; i < words.size(); ++i) {
    if (!sIsNumber(words[i])) numbers = false;
    else args.push_back(static_cast<uint32_t>(strtoul(words[i].c_str(), nullptr, 10)));
  }
  uint32_t code = CMD_SUCCESS;
  std::string extra;
  if (config_.refuseCommand != 0 && letter == config_.refuseCommand) {
    code = config_.refuseCode;
  } else if (!numbers) {
    code = PARAM_ERROR;
  } else {
    switch (letter) {
      case 'U': code = doUnlock(args); break;
      case 'B': code = doBaud(args); break;
      case 'A': code = doEcho(args); break;
      case 'W': code = startTransfer(args, State::WriteData); break;
      case 'R': code = startTransfer(args, State::ReadAck); break;
      case 'P': code = doPrepare(args); break;
      case 'C': code = doCopy(args); break;
      case 'G': code = doGo(args, mode); break;
      case 'E': code = doErase(args); break;
      case 'I': code = doBlankCheck(args, &extra); break;
      case 'M': code = doCompare(args, &extra); break;
      case 'J':
        if (!args.empty()) code = PARAM_ERROR;
        else extra = std::to_string(config_.partId) + "\r\n";
        break;
      case 'K':
        if (!args.empty()) code = PARAM_ERROR;
        else extra = std::to_string(config_.bootMajor) + "\r\n" + std::to_string(config_.bootMinor) + "\r\n";
        break;
      case 'N':
        if (!args.empty()) code = PARAM_ERROR;
        for (uint32_t word : config_.deviceId) extra += std::to_string(word) + "\r\n";
        break;
      default: code = INVALID_COMMAND; break;
    }
  }
  if (code != CMD_SUCCESS && code != SECTOR_NOT_BLANK && code != COMPARE_ERROR) extra.clear();
  io_.note("[" + line + "] -> " + std::to_string(code));
  reply(code);
  if (!extra.empty()) io_.send(extra);
  if (letter == 'C' && ++copies_ == config_.silentAfterCopies) {
    io_.note("silent from now on (fault)");
    state_ = State::Silent;
    return;
  }
  if (code != CMD_SUCCESS) {
    if (state_ != State::Started) state_ = State::Command;
    return;
  }
  if (state_ == State::ReadAck) sendReadBlock();
}

uint32_t IspSession::doUnlock(const std::vector<uint32_t>& args) {
  if (args.size() != 1) return PARAM_ERROR;
  if (args[0] != kUnlockCode) return INVALID_CODE;
  unlocked_ = true;
  return CMD_SUCCESS;
}

uint32_t IspSession::doBaud(const std::vector<uint32_t>& args) {
  if (args.size() != 2) return PARAM_ERROR;
  switch (args[0]) {
    case 9600: case 19200: case 38400: case 57600: case 115200: case 230400: break;
    default: return INVALID_BAUD_RATE;
  }
  if (args[1] != 1 && args[1] != 2) return INVALID_STOP_BIT;
  return CMD_SUCCESS;
}

uint32_t IspSession::doEcho(const std::vector<uint32_t>& args) {
  if (args.size() != 1 || args[0] > 1) return PARAM_ERROR;
  echo_ = args[0] == 1;
  return CMD_SUCCESS;
}

uint32_t IspSession::startTransfer(const std::vector<uint32_t>& args, State next) {
  if (args.size() != 2) return PARAM_ERROR;
  if (args[0] % 4 != 0) return ADDR_ERROR;
  if (args[1] % 4 != 0) return COUNT_ERROR;
  // RAM writes reach RAM only; reads reach flash as well.
  if (next == State::WriteData ? !memory_.isRam(args[0], args[1]) : !memory_.isMapped(args[0], args[1])) {
    return ADDR_NOT_MAPPED;
  }
  transferAddress_ = args[0];
  transferCount_ = args[1];
  transferDone_ = 0;
  block_.clear();
  blockLines_ = 0;
  blockBad_ = false;
  if (transferCount_ > 0) state_ = next;  // a read's first block follows the return code
  return CMD_SUCCESS;
}

uint32_t IspSession::doPrepare(const std::vector<uint32_t>& args) {
  const uint32_t code = sectorRangeCode(args);
  if (code == CMD_SUCCESS) memory_.prepare(args[0], args[1]);
  return code;
}

uint32_t IspSession::doErase(const std::vector<uint32_t>& args) {
  if (!unlocked_) return CMD_LOCKED;
  const uint32_t code = sectorRangeCode(args);
  if (code != CMD_SUCCESS) return code;
  if (!memory_.prepared(args[0], args[1])) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  io_.busy((args[1] - args[0] + 1) * config_.eraseMsPerSector);
  memory_.erase(args[0], args[1]);
  return CMD_SUCCESS;
}

uint32_t IspSession::doCopy(const std::vector<uint32_t>& args) {
  if (!unlocked_) return CMD_LOCKED;
  if (args.size() != 3) return PARAM_ERROR;
  const uint32_t flash = args[0], ram = args[1], count = args[2];
  if (flash % kPageBytes != 0) return DST_ADDR_ERROR;
  if (ram % 4 != 0) return SRC_ADDR_ERROR;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return COUNT_ERROR;
  if (!memory_.isFlash(flash, count)) return DST_ADDR_NOT_MAPPED;
  if (!memory_.isRam(ram, count)) return SRC_ADDR_NOT_MAPPED;
  if (!memory_.prepared(Lpc17xxMemory::sectorOf(flash), Lpc17xxMemory::sectorOf(flash + count - 1))) {
    return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  }
  io_.busy(count / kPageBytes * config_.programMsPerPage);
  if (!memory_.program(flash, ram, count)) io_.note("programmed flash at " + sHex(flash) + " that was not erased");
  return CMD_SUCCESS;
}

uint32_t IspSession::doGo(const std::vector<uint32_t>& args, const std::string& mode) {
  if (!unlocked_) return CMD_LOCKED;
  if (args.size() != 1 || mode != "T") return PARAM_ERROR;  // a Cortex-M3 runs Thumb code only
  if (!memory_.isMapped(args[0], 2)) return ADDR_NOT_MAPPED;
  startAddress_ = args[0];
  state_ = State::Started;
  return CMD_SUCCESS;
}

uint32_t IspSession::doBlankCheck(const std::vector<uint32_t>& args, std::string* extra) {
  const uint32_t code = sectorRangeCode(args);
  if (code != CMD_SUCCESS) return code;
  uint32_t offset = 0, word = 0;
  if (memory_.blank(args[0], args[1], &offset, &word)) return CMD_SUCCESS;
  *extra = std::to_string(offset) + "\r\n" + std::to_string(word) + "\r\n";
  return SECTOR_NOT_BLANK;
}

uint32_t IspSession::doCompare(const std::vector<uint32_t>& args, std::string* extra) {
  if (args.size() != 3) return PARAM_ERROR;
  if (args[0] % 4 != 0 || args[1] % 4 != 0) return ADDR_ERROR;
  if (args[2] % 4 != 0) return COUNT_ERROR;
  if (!memory_.isMapped(args[0], args[2]) || !memory_.isMapped(args[1], args[2])) return ADDR_NOT_MAPPED;
  const uint8_t* a = memory_.at(args[0]);
  const uint8_t* b = memory_.at(args[1]);
  for (uint32_t i = 0; i < args[2]; ++i) {
    if (a[i] != b[i]) {
      *extra = std::to_string(i & ~3u) + "\r\n";
      return COMPARE_ERROR;
    }
  }
  return CMD_SUCCESS;
}

bool IspSession::injectChecksumFault() {
  ++checksumExchanges_;
  if (faultSpent_ || config_.badChecksumAt == 0 || checksumExchanges_ != config_.badChecksumAt) return false;
  faultSpent_ = true;
  io_.note("checksum fault injected at exchange " + std::to_string(checksumExchanges_));
  return true;
}

void IspSession::writeDataLine(const std::string& line) {
  const uint32_t remaining = transferCount_ - transferDone_;
  const bool blockComplete = blockLines_ == kLinesPerChecksum || block_.size() >= remaining;
  // A short block (a line lost on the way) still ends at the host's checksum: a line of digits
  // only that is no valid data line.
  std::vector<uint8_t> decoded;
  const bool isData = UuDecodeLine(line, &decoded);
  if (!blockComplete && (isData || !sIsNumber(line))) {
    if (!isData) blockBad_ = true;
    block_.insert(block_.end(), decoded.begin(), decoded.end());
    ++blockLines_;
    return;
  }
  const bool fault = injectChecksumFault();
  const bool good = !fault && !blockBad_ && block_.size() <= remaining && sIsNumber(line) &&
                    strtoul(line.c_str(), nullptr, 10) == sSum(block_);
  if (good) {
    memory_.writeRam(transferAddress_ + transferDone_, block_.data(), static_cast<uint32_t>(block_.size()));
    transferDone_ += static_cast<uint32_t>(block_.size());
    io_.note("write block of " + std::to_string(blockLines_) + " lines, " + std::to_string(block_.size()) +
             " bytes: OK (" + std::to_string(transferDone_) + " of " + std::to_string(transferCount_) + ")");
    io_.send("OK\r\n");
  } else {
    io_.note("write block of " + std::to_string(blockLines_) + " lines: RESEND");
    io_.send("RESEND\r\n");
  }
  block_.clear();
  blockLines_ = 0;
  blockBad_ = false;
  if (transferDone_ == transferCount_) state_ = State::Command;
}

void IspSession::sendReadBlock() {
  const uint32_t remaining = transferCount_ - transferDone_;
  const uint32_t blockBytes = static_cast<uint32_t>(kUuBytesPerLine) * kLinesPerChecksum;
  const uint32_t n = remaining < blockBytes ? remaining : blockBytes;
  const uint8_t* data = memory_.at(transferAddress_ + transferDone_);
  block_.assign(data, data + n);
  std::string text;
  for (uint32_t pos = 0; pos < n; pos += kUuBytesPerLine) {
    const uint32_t chunk = n - pos < kUuBytesPerLine ? n - pos : static_cast<uint32_t>(kUuBytesPerLine);
    text += UuEncodeLine(data + pos, chunk) + "\r\n";
  }
  uint32_t checksum = sSum(block_);
  if (injectChecksumFault()) ++checksum;
  text += std::to_string(checksum) + "\r\n";
  io_.send(text);
  state_ = State::ReadAck;
}

void IspSession::readAck(const std::string& line) {
  if (line == "OK") {
    transferDone_ += static_cast<uint32_t>(block_.size());
    io_.note("read block of " + std::to_string(block_.size()) + " bytes: OK (" + std::to_string(transferDone_) +
             " of " + std::to_string(transferCount_) + ")");
    if (transferDone_ < transferCount_) sendReadBlock();
    else state_ = State::Command;
  } else if (line == "RESEND") {
    io_.note("read block of " + std::to_string(block_.size()) + " bytes: RESEND");
    sendReadBlock();
  } else {
    // The host gave up on the read: what it sent is its next command.
    io_.note("read abandoned at " + std::to_string(transferDone_) + " of " + std::to_string(transferCount_));
    state_ = State::Command;
    command(line);
  }
}

}  // namespace lpcsim

#include "SdpRom.h"

#include <cstdio>

namespace bootrom::imx {

namespace {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kDcdWrite = 0x0A0A;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint16_t kSkipDcdHeader = 0x0C0C;

// DCD tables: a header (tag, big-endian length, version), then commands with the same header.
constexpr uint8_t kDcdTag = 0xD2;
constexpr uint8_t kDcdWriteData = 0xCC;
constexpr size_t kDcdHeaderSize = 4;
constexpr uint32_t kDcdLimit = 1768;  // the largest table the ROM accepts

uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Register widths as the format field gives them: 8, 16 or 32 bits.
size_t WidthOf(uint8_t format) { return format == 0x08 ? 1 : format == 0x10 ? 2 : 4; }

}  // namespace

SdpRom::SdpRom(SdpMemory& memory, uint32_t habMode, LogSink log)
    : memory_(memory), habMode_(habMode), log_(std::move(log)) {}

SdpAnswer SdpRom::answer(std::vector<uint8_t> payload) const { return SdpAnswer{habMode_, std::move(payload)}; }

SdpAnswer SdpRom::word(uint32_t value) const {
  return answer({static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                 static_cast<uint8_t>(value >> 24)});
}

void SdpRom::refuse(const std::string& why, std::vector<SdpAnswer>& answers) {
  log_("refused: " + why);
  status_ = kStatusRefused;
  answers.push_back(word(status_));
}

void SdpRom::command(const uint8_t packet[kCommandSize], std::vector<SdpAnswer>& answers) {
  if (jumped_) return;
  const uint16_t type = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
  const uint32_t address = BigEndian32(packet + 2);
  const uint8_t format = packet[6];
  const uint32_t count = BigEndian32(packet + 7);
  const uint32_t value = BigEndian32(packet + 11);
  phase_ = Phase::Commands;
  phaseRemaining_ = 0;
  switch (type) {
    case kReadRegister: {
      log_("READ_REGISTER " + Hex(address) + " count " + std::to_string(count));
      std::vector<uint8_t> bytes;
      // A read larger than the ROM's transfer buffer is cut to it rather than served for ever.
      for (uint32_t i = 0; i < count && i < 0x10000; ++i) bytes.push_back(memory_.readByte(address + i));
      answers.push_back(answer(std::move(bytes)));
      return;
    }
    case kWriteRegister:
      log_("WRITE_REGISTER " + Hex(address) + " = " + Hex(value));
      if (!memory_.writeWord(address, value, WidthOf(format))) return refuse("no register or RAM at " + Hex(address), answers);
      answers.push_back(word(kRegisterWritten));
      return;
    case kWriteFile:
      log_("WRITE_FILE " + Hex(address) + " count " + std::to_string(count));
      phaseAddress_ = address;
      phaseRemaining_ = count;
      if (!memory_.inRam(address, count)) {
        // The answer comes at once and the data that follows is swallowed.
        refuse(std::to_string(count) + " bytes at " + Hex(address) + " are not inside RAM", answers);
        phase_ = Phase::Discard;
      } else {
        phase_ = Phase::File;
      }
      if (count == 0) data(nullptr, 0, answers);
      return;
    case kErrorStatus:
      log_("ERROR_STATUS " + Hex(status_));
      answers.push_back(word(status_));
      return;
    case kDcdWrite:
      log_("DCD_WRITE " + Hex(address) + " count " + std::to_string(count));
      if (count > kDcdLimit) return refuse("DCD of " + std::to_string(count) + " bytes", answers);
      dcd_.clear();
      phaseRemaining_ = count;
      phase_ = Phase::Dcd;
      if (count == 0) data(nullptr, 0, answers);
      return;
    case kJumpAddress:
      log_("JUMP_ADDRESS " + Hex(address));
      if (!memory_.inRam(address, 4)) return refuse("jump to " + Hex(address) + " outside RAM", answers);
      answers.push_back(answer());
      jumped_ = true;
      jumpAddress_ = address;
      return;
    case kSkipDcdHeader:
      log_("SKIP_DCD_HEADER");
      answers.push_back(word(kDcdSkipped));
      return;
    default: {
      char text[8];
      std::snprintf(text, sizeof text, "%04X", type);
      refuse(std::string("unknown command 0x") + text, answers);
      return;
    }
  }
}

size_t SdpRom::data(const uint8_t* bytes, size_t length, std::vector<SdpAnswer>& answers) {
  const size_t taken = length < phaseRemaining_ ? length : phaseRemaining_;
  if (phase_ == Phase::File) {
    memory_.write(phaseAddress_, bytes, taken);
    phaseAddress_ += static_cast<uint32_t>(taken);
  } else if (phase_ == Phase::Dcd) {
    dcd_.insert(dcd_.end(), bytes, bytes + taken);
  }
  phaseRemaining_ -= static_cast<uint32_t>(taken);
  if (phaseRemaining_ > 0 || phase_ == Phase::Commands) return taken;
  if (phase_ == Phase::File) {
    answers.push_back(word(kFileWritten));
    if (fileWritten_) fileWritten_();
  } else if (phase_ == Phase::Dcd) {
    applyDcd();
    answers.push_back(word(kRegisterWritten));
  }
  phase_ = Phase::Commands;
  return taken;
}

void SdpRom::applyDcd() {
  if (dcd_.size() < kDcdHeaderSize || dcd_[0] != kDcdTag) {
    status_ = kStatusRefused;
    log_("refused: DCD without its header");
    return;
  }
  size_t end = static_cast<size_t>(dcd_[1] << 8 | dcd_[2]);
  if (end > dcd_.size()) end = dcd_.size();
  for (size_t at = kDcdHeaderSize; at + kDcdHeaderSize <= end;) {
    const uint8_t tag = dcd_[at];
    const size_t length = static_cast<size_t>(dcd_[at + 1] << 8 | dcd_[at + 2]);
    if (length < kDcdHeaderSize || at + length > end) break;
    if (tag == kDcdWriteData) {
      const size_t width = dcd_[at + 3] & 7;
      for (size_t pair = at + kDcdHeaderSize; pair + 8 <= at + length; pair += 8) {
        const uint32_t address = BigEndian32(&dcd_[pair]);
        const uint32_t value = BigEndian32(&dcd_[pair + 4]);
        log_("DCD write " + Hex(address) + " = " + Hex(value));
        memory_.writeWord(address, value, width == 1 || width == 2 ? width : 4);
      }
    }
    at += length;
  }
}

}  // namespace bootrom::imx

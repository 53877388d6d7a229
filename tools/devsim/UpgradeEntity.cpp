#include "UpgradeEntity.h"

#include <algorithm>

#include "UeiCodec.h"

namespace devsim {

namespace {
constexpr uint64_t kMaxFlatSpan = 64u << 20;
}

UpgradeEntity::UpgradeEntity(ModuleState& state, FaultPlan& faults) : state_(state), faults_(faults) {}

void UpgradeEntity::reply(Outcome& out, ReplyKind kind, std::vector<uint8_t> data) {
  out.reply(SimPacket(state_.address, std::move(data)), kind);
}

void UpgradeEntity::status(Outcome& out, ReplyKind kind, uint8_t code, std::vector<uint8_t> extra) {
  std::vector<uint8_t> data = {kUpgradeCommand, kOpStatus, code};
  data.insert(data.end(), extra.begin(), extra.end());
  reply(out, kind, std::move(data));
}

void UpgradeEntity::handleRaw(const std::vector<uint8_t>& data, Outcome& out) {
  switch (data[1]) {
    case kOpInit: {
      pending_.clear();
      prepared_ = false;
      std::vector<uint8_t> bytes = {kUpgradeCommand, kOpInit};
      PutBE32(bytes, state_.spec.loadBase);
      reply(out, ReplyKind::Init, std::move(bytes));
      return;
    }
    case kOpPrepare:
      prepare(data, out);
      return;
    case kOpData:
      receive(data, out);
      return;
    case kOpSum:
      sum(out);
      return;
    case kOpWrite:
      write(data, out);
      return;
    case kOpLoad:
      out.restart = Restart::IntoLoader;
      return;
    case kOpReboot:
      out.restart = Restart::NewImage;
      return;
    default:
      status(out, ReplyKind::Error, aErrUnimplemented);
  }
}

void UpgradeEntity::prepare(const std::vector<uint8_t>& data, Outcome& out) {
  if (data.size() < 7) {
    status(out, ReplyKind::Prepare, aErrShortCommand, {0, 0});
    return;
  }
  uint8_t refusal = 0;
  if (faults_.takePrepareRefusal(&refusal)) {
    status(out, ReplyKind::Prepare, refusal, {0, 0});
    return;
  }
  blockAddress_ = GetBE(&data[3], 4);
  writeOffset_ = 0;
  pending_.clear();
  prepared_ = true;
  flash_.erase(blockAddress_);  // a block is erased before it is written again
  std::vector<uint8_t> size;
  PutBE16(size, state_.spec.blockSize);
  status(out, ReplyKind::Prepare, 0, size);
}

void UpgradeEntity::receive(const std::vector<uint8_t>& data, Outcome& out) {
  size_t chunk = data.size() - 2;
  size_t room = state_.spec.ramSize - std::min<size_t>(pending_.size(), state_.spec.ramSize);
  size_t accepted = std::min(chunk, room);
  uint8_t reported = static_cast<uint8_t>(accepted);
  if (faults_.takeWrongCount()) {
    // The device lost this chunk: it keeps nothing and says so with a short count.
    accepted = 0;
    reported = static_cast<uint8_t>(chunk > 0 ? chunk - 1 : 1);
  }
  pending_.insert(pending_.end(), data.begin() + 2, data.begin() + 2 + static_cast<long>(accepted));
  reply(out, ReplyKind::Data, {kUpgradeCommand, kOpData, reported});
}

void UpgradeEntity::sum(Outcome& out) {
  uint32_t total = 0;
  for (uint8_t b : pending_) total += b;
  if (faults_.takeWrongSum()) total += 1;
  std::vector<uint8_t> bytes;
  PutBE32(bytes, total);
  status(out, ReplyKind::Sum, 0, bytes);
}

void UpgradeEntity::write(const std::vector<uint8_t>& data, Outcome& out) {
  if (data.size() < 4) {
    status(out, ReplyKind::Write, aErrShortCommand);
    return;
  }
  size_t count = GetBE(&data[2], 2);
  if (!prepared_) {
    status(out, ReplyKind::Write, aErrMode);
    return;
  }
  if (count > pending_.size()) {
    status(out, ReplyKind::Write, aErrSize);
    return;
  }
  std::vector<uint8_t>& block = flash_[blockAddress_];
  if (block.size() < writeOffset_ + count) block.resize(writeOffset_ + count, 0xFF);
  std::copy(pending_.begin(), pending_.begin() + static_cast<long>(count), block.begin() + writeOffset_);
  writeOffset_ += static_cast<uint32_t>(count);
  pending_.clear();
  status(out, ReplyKind::Write, 0);
}

aErr UpgradeEntity::acceptUeiData(const std::vector<uint8_t>& bytes) {
  if (!state_.spec.ueiBytesUpgrade) return aErrInvalidOption;
  if (pending_.size() + bytes.size() > state_.spec.ramSize) return aErrOverrun;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  return aErrNone;
}

aErr UpgradeEntity::supports(uint8_t option, uint8_t index, uint8_t direction) const {
  if (option != kUpgradeDataOption || !state_.spec.ueiBytesUpgrade) return aErrInvalidOption;
  if (index != 0) return aErrIndexRange;
  return direction == kOptionGet ? aErrInvalidOption : aErrNone;
}

void UpgradeEntity::restart() {
  pending_.clear();
  prepared_ = false;
}

std::map<uint32_t, std::vector<uint8_t>> UpgradeEntity::flashRegions() const {
  std::map<uint32_t, std::vector<uint8_t>> regions;
  for (const auto& [address, bytes] : flash_) {
    if (bytes.empty()) continue;
    if (!regions.empty()) {
      auto& last = *regions.rbegin();
      if (static_cast<uint64_t>(last.first) + last.second.size() == address) {
        last.second.insert(last.second.end(), bytes.begin(), bytes.end());
        continue;
      }
    }
    regions.emplace(address, bytes);
  }
  return regions;
}

bool UpgradeEntity::flatImage(uint32_t* base, std::vector<uint8_t>* image) const {
  auto regions = flashRegions();
  if (regions.empty()) return false;
  uint64_t start = regions.begin()->first;
  uint64_t end = regions.rbegin()->first + regions.rbegin()->second.size();
  if (end - start > kMaxFlatSpan) return false;
  image->assign(end - start, 0xFF);
  for (const auto& [address, bytes] : regions) std::copy(bytes.begin(), bytes.end(), image->begin() + (address - start));
  *base = static_cast<uint32_t>(start);
  return true;
}

bool UpgradeEntity::findVersion(VersionMarker::Version* version) const {
  for (const auto& [address, bytes] : flashRegions()) {
    if (VersionMarker::Find(bytes.data(), bytes.size(), version)) return true;
  }
  return false;
}

size_t UpgradeEntity::bytesWritten() const {
  size_t total = 0;
  for (const auto& entry : flash_) total += entry.second.size();
  return total;
}

}  // namespace devsim

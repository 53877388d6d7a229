#include "StoreSlots.h"

#include <algorithm>

#include "aError.h"

namespace devsim {

namespace {
enum SlotOp : uint8_t { kCapacityOp = 1, kSizeOp = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7, kClose = 8 };
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kChunk = 25;
}  // namespace

StoreSlots::StoreSlots(ModuleState& state)
    : state_(state), stores_(kStores, std::vector<std::vector<uint8_t>>(kSlotsPerStore)) {}

void StoreSlots::restart() {
  handles_.clear();
  for (auto& slot : stores_[1]) slot.clear();
}

void StoreSlots::slotReply(Outcome& out, uint8_t sub, uint8_t store, uint8_t slot, std::vector<uint8_t> tail) {
  std::vector<uint8_t> data = {kSlotCommand, sub, store, slot};
  data.insert(data.end(), tail.begin(), tail.end());
  out.reply(SimPacket(state_.address, std::move(data)), ReplyKind::Slot);
}

void StoreSlots::slotError(Outcome& out, uint8_t sub, uint8_t store, uint8_t slot, uint8_t code) {
  slotReply(out, sub | kErrorBit, store, slot, {code});
}

void StoreSlots::handleReply(Outcome& out, uint8_t sub, uint8_t handle, std::vector<uint8_t> tail) {
  std::vector<uint8_t> data = {kSlotCommand, sub, handle};
  data.insert(data.end(), tail.begin(), tail.end());
  out.reply(SimPacket(state_.address, std::move(data)), ReplyKind::Slot);
}

void StoreSlots::handleError(Outcome& out, uint8_t sub, uint8_t handle, uint8_t code) {
  handleReply(out, sub | kErrorBit, handle, {code});
}

void StoreSlots::handle(const std::vector<uint8_t>& data, Outcome& out) {
  uint8_t sub = data.size() > 1 ? data[1] : 0;
  switch (sub) {
    case kCapacityOp: case kSizeOp: case kOpenRead: case kOpenWrite:
      if (data.size() < 4) {
        slotError(out, sub, data.size() > 2 ? data[2] : 0, 0, aErrShortCommand);
      } else {
        bySlot(sub, data[2], data[3], out);
      }
      return;
    case kRead: case kWrite: case kClose:
      if (data.size() < 3) {
        handleError(out, sub, kInvalidHandle, aErrShortCommand);
      } else {
        byHandle(sub, data[2], data, out);
      }
      return;
    default:
      slotError(out, sub, data.size() > 2 ? data[2] : 0, data.size() > 3 ? data[3] : 0, aErrInvalidOption);
  }
}

void StoreSlots::bySlot(uint8_t sub, uint8_t store, uint8_t slot, Outcome& out) {
  if (store >= kStores || slot >= kSlotsPerStore) {
    slotError(out, sub, store, slot, aErrIndexRange);
    return;
  }
  if (sub == kCapacityOp || sub == kSizeOp) {
    uint16_t value = sub == kCapacityOp ? kCapacity : static_cast<uint16_t>(stores_[store][slot].size());
    slotReply(out, sub, store, slot, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    return;
  }
  uint8_t error = aErrNone;
  uint8_t handle = open(store, slot, sub == kOpenWrite, &error);
  if (error != aErrNone) {
    slotError(out, sub, store, slot, error);
  } else {
    slotReply(out, sub, store, slot, {handle});
  }
}

uint8_t StoreSlots::open(uint8_t store, uint8_t slot, bool writing, uint8_t* error) {
  for (const auto& [id, h] : handles_) {
    if (h.store == store && h.slot == slot && (h.writing || writing)) {
      *error = aErrBusy;
      return kInvalidHandle;
    }
  }
  if (handles_.size() >= kMaxOpen) {
    *error = aErrResource;
    return kInvalidHandle;
  }
  while (handles_.count(nextHandle_) || nextHandle_ == kInvalidHandle) nextHandle_ = static_cast<uint8_t>(nextHandle_ + 1);
  uint8_t id = nextHandle_++;
  handles_[id] = {store, slot, writing, 0};
  if (writing) stores_[store][slot].clear();
  return id;
}

void StoreSlots::byHandle(uint8_t sub, uint8_t id, const std::vector<uint8_t>& data, Outcome& out) {
  auto it = handles_.find(id);
  bool wantWriting = sub == kWrite;
  if (it == handles_.end() || (sub != kClose && it->second.writing != wantWriting)) {
    handleError(out, sub, id, aErrParam);
    return;
  }
  Handle& h = it->second;
  std::vector<uint8_t>& slot = stores_[h.store][h.slot];
  if (sub == kClose) {
    handles_.erase(it);
    handleReply(out, sub, id, {aErrNone});
  } else if (sub == kRead) {
    size_t n = std::min(kChunk, slot.size() - std::min(h.cursor, slot.size()));
    std::vector<uint8_t> chunk(slot.begin() + static_cast<long>(h.cursor), slot.begin() + static_cast<long>(h.cursor + n));
    h.cursor += n;
    handleReply(out, sub, id, std::move(chunk));
  } else {
    std::vector<uint8_t> chunk(data.begin() + 3, data.end());
    if (slot.size() + chunk.size() > kCapacity) {
      handleError(out, sub, id, aErrOverrun);
      return;
    }
    uint8_t sum = 0;
    for (uint8_t b : chunk) sum = static_cast<uint8_t>(sum + b);
    slot.insert(slot.end(), chunk.begin(), chunk.end());
    handleReply(out, sub, id, {sum});
  }
}

}  // namespace devsim

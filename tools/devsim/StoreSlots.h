#ifndef DEVSIM_STORESLOTS_H
#define DEVSIM_STORESLOTS_H

#include <cstdint>
#include <map>
#include <vector>

#include "ModuleState.h"
#include "Outcome.h"

namespace devsim {

constexpr uint8_t kSlotCommand = 4;

// Numbered stores of numbered slots, read and written through handles. Store 0 is internal
// (kept across restarts), store 1 is RAM (lost on restart).
class StoreSlots {
 public:
  static constexpr uint8_t kStores = 2;
  static constexpr uint8_t kSlotsPerStore = 12;
  static constexpr uint16_t kCapacity = 4096;
  static constexpr uint8_t kMaxOpen = 4;
  static constexpr uint8_t kInvalidHandle = 255;

  explicit StoreSlots(ModuleState& state);
  void handle(const std::vector<uint8_t>& data, Outcome& out);
  void restart();

 private:
  struct Handle {
    uint8_t store;
    uint8_t slot;
    bool writing;
    size_t cursor;
  };
  void slotReply(Outcome& out, uint8_t sub, uint8_t store, uint8_t slot, std::vector<uint8_t> tail);
  void slotError(Outcome& out, uint8_t sub, uint8_t store, uint8_t slot, uint8_t code);
  void handleReply(Outcome& out, uint8_t sub, uint8_t handle, std::vector<uint8_t> tail);
  void handleError(Outcome& out, uint8_t sub, uint8_t handle, uint8_t code);
  void bySlot(uint8_t sub, uint8_t store, uint8_t slot, Outcome& out);
  void byHandle(uint8_t sub, uint8_t handle, const std::vector<uint8_t>& data, Outcome& out);
  uint8_t open(uint8_t store, uint8_t slot, bool writing, uint8_t* error);

  ModuleState& state_;
  std::vector<std::vector<std::vector<uint8_t>>> stores_;
  std::map<uint8_t, Handle> handles_;
  uint8_t nextHandle_ = 0;
};

}  // namespace devsim

#endif

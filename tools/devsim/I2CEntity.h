#ifndef DEVSIM_I2CENTITY_H
#define DEVSIM_I2CENTITY_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "ModuleState.h"
#include "Outcome.h"

namespace devsim {

constexpr uint8_t kI2CCommand = 8;

// The module's I2C bus master (command 8, index 0). Targets on the bus are the modules that sit
// behind this one; each acknowledges its address and behaves as a small register memory (the
// first byte written sets the register pointer). Every transfer takes the bus time its bits need
// at the requested speed; an address nobody acknowledges fails with a NACK after the address byte.
class I2CEntity {
 public:
  using BusProbe = std::function<bool(uint8_t address)>;
  static constexpr size_t kMaxTransfer = 23;

  explicit I2CEntity(ModuleState& state);
  void setBus(BusProbe probe) { probe_ = std::move(probe); }
  void handle(const std::vector<uint8_t>& data, Outcome& out);
  // Bus time in microseconds of a transfer of `bytes` bytes after the address, at `speed` (0..3).
  static uint32_t BusTimeMicros(uint8_t speed, size_t bytes, bool acknowledged);

 private:
  struct Target {
    std::array<uint8_t, 256> registers{};
    uint8_t pointer = 0;
  };
  void reply(Outcome& out, uint8_t index, uint8_t address, uint8_t count, uint8_t status,
             const std::vector<uint8_t>& bytes, uint32_t busTime);

  ModuleState& state_;
  BusProbe probe_;
  std::map<uint8_t, Target> targets_;
  bool pullup_ = false;
};

}  // namespace devsim

#endif

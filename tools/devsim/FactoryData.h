#ifndef DEVSIM_FACTORYDATA_H
#define DEVSIM_FACTORYDATA_H

#include <array>
#include <cstdint>
#include <vector>

#include "ModuleState.h"
#include "Outcome.h"

namespace devsim {

constexpr uint8_t kFactoryCommand = 0x5E;

// Factory data: sixteen kinds of byte records, read and written in transfers of chunks that an
// end packet closes with the byte count the host saw.
class FactoryData {
 public:
  static constexpr size_t kMaxRecord = 512;

  explicit FactoryData(ModuleState& state);
  void handle(const std::vector<uint8_t>& data, Outcome& out);

 private:
  struct Transfer {
    bool active = false;
    bool writing = false;
    uint8_t kind = 0;
    size_t cursor = 0;
    std::vector<uint8_t> incoming;
  };
  void reply(Outcome& out, std::vector<uint8_t> data);
  void end(const std::vector<uint8_t>& data, Outcome& out);
  void read(uint8_t kind, bool first, Outcome& out);
  void write(uint8_t kind, bool first, const std::vector<uint8_t>& data, Outcome& out);

  ModuleState& state_;
  std::array<std::vector<uint8_t>, 16> records_;
  Transfer transfer_;
};

}  // namespace devsim

#endif

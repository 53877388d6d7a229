#ifndef DEVSIM_UPGRADEENTITY_H
#define DEVSIM_UPGRADEENTITY_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FaultPlan.h"
#include "ModuleState.h"
#include "Outcome.h"
#include "VersionMarker.h"
#include "aError.h"

namespace devsim {

constexpr uint8_t kUpgradeCommand = 0x5F;
constexpr uint8_t kUpgradeDataOption = 10;

// Upgrade operation codes (second data byte of the raw upgrade packets).
enum UpgradeOp : uint8_t {
  kOpInit = 0,
  kOpData = 1,
  kOpLoad = 2,
  kOpPrepare = 3,
  kOpSum = 4,
  kOpWrite = 5,
  kOpReboot = 6,
  kOpStatus = 7,
};

// Device side of the upgrade entity: received bytes wait in RAM until a write moves them into
// the flash image at the prepared block's address.
class UpgradeEntity {
 public:
  UpgradeEntity(ModuleState& state, FaultPlan& faults);

  void handleRaw(const std::vector<uint8_t>& data, Outcome& out);
  // A whole block received as one UEI bytes value (option 10).
  aErr acceptUeiData(const std::vector<uint8_t>& bytes);
  aErr supports(uint8_t option, uint8_t index, uint8_t direction) const;

  // A restart loses what waits in RAM; the flash image stays.
  void restart();

  // Contiguous regions of the flash image, by start address.
  std::map<uint32_t, std::vector<uint8_t>> flashRegions() const;
  // The flash image from its lowest to its highest written address, gaps as erased (0xFF).
  // False when nothing was written or the span is unreasonably large.
  bool flatImage(uint32_t* base, std::vector<uint8_t>* image) const;
  bool findVersion(VersionMarker::Version* version) const;
  size_t bytesWritten() const;

 private:
  void reply(Outcome& out, ReplyKind kind, std::vector<uint8_t> data);
  void status(Outcome& out, ReplyKind kind, uint8_t code, std::vector<uint8_t> extra = {});
  void prepare(const std::vector<uint8_t>& data, Outcome& out);
  void receive(const std::vector<uint8_t>& data, Outcome& out);
  void sum(Outcome& out);
  void write(const std::vector<uint8_t>& data, Outcome& out);

  ModuleState& state_;
  FaultPlan& faults_;
  std::vector<uint8_t> pending_;
  bool prepared_ = false;
  uint32_t blockAddress_ = 0;
  uint32_t writeOffset_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> flash_;  // by prepared block address
};

}  // namespace devsim

#endif

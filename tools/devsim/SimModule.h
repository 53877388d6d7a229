#ifndef DEVSIM_SIMMODULE_H
#define DEVSIM_SIMMODULE_H

#include <cstdint>
#include <vector>

#include "FactoryData.h"
#include "FaultPlan.h"
#include "I2CEntity.h"
#include "ModuleState.h"
#include "Outcome.h"
#include "SimLog.h"
#include "StoreSlots.h"
#include "StreamSampler.h"
#include "SystemEntity.h"
#include "UeiBytes.h"
#include "UpgradeEntity.h"

namespace devsim {

constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kEchoCommand = 23;
constexpr uint8_t kHeartbeatCommand = 0;

// One simulated device module: its state and entities, and the answers it gives to packets
// addressed to it. Link control (sync, route switch, heartbeats) belongs to the link it is
// reached by, not to the module, and is handled by the simulator.
class SimModule {
 public:
  SimModule(const ModuleSpec& spec, SimLog& log);

  void handle(const SimPacket& packet, Clock::time_point now, Outcome& out);
  // The answer to the 0xAD sync request / module-address query: an empty packet.
  SimPacket addressAnswer() const { return SimPacket(state_.address, {}); }

  // Restart sequence: the module leaves its links, then comes back as `kind` says.
  void leave();
  void comeBack(Restart kind, Clock::time_point now);

  ModuleState& state() { return state_; }
  const ModuleState& state() const { return state_; }
  FaultPlan& faults() { return faults_; }
  UpgradeEntity& upgrade() { return upgrade_; }
  const UpgradeEntity& upgrade() const { return upgrade_; }
  StreamSampler& streams() { return streams_; }
  I2CEntity& i2c() { return i2c_; }
  bool present() const { return state_.run == RunState::Firmware || state_.run == RunState::Loader; }
  std::string label() const;

 private:
  void handleUei(const SimPacket& packet, Clock::time_point now, Outcome& out);
  void dispatchUei(const UeiRequest& req, Clock::time_point now, Outcome& out);
  bool takesBytes(const UeiRequest& req) const;
  void handleQuery(const std::vector<uint8_t>& data, Outcome& out);
  aErr supports(uint8_t command, uint8_t option, uint8_t index, uint8_t direction) const;
  uint8_t entityCount(uint8_t entityClass) const;
  void unknownCommand(const std::vector<uint8_t>& data, Outcome& out);

  ModuleState state_;
  SimLog& log_;
  FaultPlan faults_;
  SystemEntity system_;
  UpgradeEntity upgrade_;
  StoreSlots slots_;
  FactoryData factory_;
  StreamSampler streams_;
  I2CEntity i2c_;
  UeiBytesCollector collector_;
};

}  // namespace devsim

#endif

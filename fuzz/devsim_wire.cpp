// Arbitrary host bytes into the simulator's device side: wire framing and every entity's
// request handling, including the restarts requests ask for. Nothing may crash or grow unbounded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ModuleSpec.h"
#include "SimLog.h"
#include "SimModule.h"
#include "WireAssembler.h"

namespace {

devsim::SimModule& Module() {
  static devsim::SimLog log;
  static devsim::SimModule* module = [] {
    log.setSink([](const std::string&) {});
    devsim::ModuleSpec spec;
    std::string error;
    devsim::ParseModuleSpec("serial=0x1234ABCD,model=17,address=6,ueibytes,blocksize=64,ram=4096", &spec, &error);
    return new devsim::SimModule(spec, log);
  }();
  return *module;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  devsim::SimModule& module = Module();
  devsim::WireAssembler assembler([](const std::string&) {});
  std::vector<devsim::SimPacket> packets;
  assembler.feed(data, size, &packets);
  auto now = devsim::Clock::now();
  for (const auto& packet : packets) {
    if (packet.address != module.state().address) continue;
    devsim::Outcome out;
    module.handle(packet, now, out);
    for (const auto& reply : out.replies) {
      if (reply.packet.data.size() > devsim::kMaxPayload) __builtin_trap();
    }
    if (out.restart != devsim::Restart::None) {
      module.leave();
      module.comeBack(out.restart, now);
    }
  }
  return 0;
}

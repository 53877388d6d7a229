#include "I2CEntity.h"

#include "aError.h"

namespace devsim {

namespace {
constexpr uint8_t kFailBit = 0x80;
constexpr uint8_t kPullupAddress = 1;
const uint32_t kBusHertz[] = {100000, 400000, 1000000, 3400000};
}  // namespace

I2CEntity::I2CEntity(ModuleState& state) : state_(state) {}

uint32_t I2CEntity::BusTimeMicros(uint8_t speed, size_t bytes, bool acknowledged) {
  // Start, address byte with its acknowledge bit, then nine bits per data byte, stop.
  size_t bits = 1 + 9 + (acknowledged ? 9 * bytes : 0) + 1;
  return static_cast<uint32_t>((bits * 1000000 + kBusHertz[speed & 3] - 1) / kBusHertz[speed & 3]);
}

void I2CEntity::reply(Outcome& out, uint8_t index, uint8_t address, uint8_t count, uint8_t status,
                      const std::vector<uint8_t>& bytes, uint32_t busTime) {
  std::vector<uint8_t> data = {kI2CCommand, index, address, count, status};
  data.insert(data.end(), bytes.begin(), bytes.end());
  out.reply(SimPacket(state_.address, std::move(data)), ReplyKind::I2C, busTime);
}

void I2CEntity::handle(const std::vector<uint8_t>& data, Outcome& out) {
  uint8_t index = data.size() > 1 ? data[1] : 0;
  uint8_t address = data.size() > 2 ? data[2] : 0;
  if (data.size() == 4 && address == kPullupAddress) {
    pullup_ = data[3] != 0;
    reply(out, index, address, data[3], aErrNone, {}, 0);
    return;
  }
  bool reading = (address & 1) != 0;
  auto fail = [&](aErr code) { reply(out, index, address, 0, kFailBit | code, {}, 0); };
  if (data.size() < 5) return fail(aErrShortCommand);
  if (index != 0) return fail(aErrIndexRange);
  uint8_t length = data[3];
  uint8_t speed = data[4];
  if (speed > 3) return fail(aErrParam);
  if (length > kMaxTransfer) return fail(aErrSize);
  if (!reading && data.size() - 5 != length) return fail(aErrParam);

  uint8_t target = address & 0xFE;
  if (!probe_ || target == state_.address || !probe_(target)) {
    // Nobody acknowledged the address byte.
    reply(out, index, address, 0, kFailBit | aErrIO, {}, BusTimeMicros(speed, 0, false));
    return;
  }
  Target& t = targets_[target];
  uint32_t busTime = BusTimeMicros(speed, length, true);
  if (reading) {
    std::vector<uint8_t> bytes;
    for (uint8_t i = 0; i < length; ++i) bytes.push_back(t.registers[t.pointer++]);
    reply(out, index, address, length, aErrNone, bytes, busTime);
    return;
  }
  if (length > 0) {
    t.pointer = data[5];
    for (size_t i = 6; i < data.size(); ++i) t.registers[t.pointer++] = data[i];
  }
  reply(out, index, address, 0, aErrNone, {}, busTime);
}

}  // namespace devsim

#include "SimModule.h"

#include "aDefs.h"

namespace devsim {

namespace {
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kHasUeiQuery = 1;
constexpr uint8_t kClassQuantityQuery = 4;
constexpr uint8_t kSubClassQuantityQuery = 5;
constexpr uint8_t kEntityGroupQuery = 6;
}  // namespace

SimModule::SimModule(const ModuleSpec& spec, SimLog& log)
    : state_(spec),
      log_(log),
      system_(state_),
      upgrade_(state_, faults_),
      slots_(state_),
      factory_(state_),
      streams_(state_, system_),
      i2c_(state_) {}

std::string SimModule::label() const {
  return SerialText(state_.spec.serial) + " (" + aDefs_GetModelName(state_.spec.model) + " @" +
         std::to_string(state_.address) + ")";
}

void SimModule::handle(const SimPacket& packet, Clock::time_point now, Outcome& out) {
  const std::vector<uint8_t>& data = packet.data;
  if (data.empty()) {
    log_.warning(label() + ": empty packet from the host ignored");
    return;
  }
  switch (data[0]) {
    case kSystemCommand:
    case kStreamCommand:
      handleUei(packet, now, out);
      return;
    case kUpgradeCommand:
      if (data.size() >= 2 && (data[1] & kDirectionMask) != 0) {
        handleUei(packet, now, out);
      } else if (data.size() < 2) {
        unknownCommand(data, out);
      } else {
        upgrade_.handleRaw(data, out);
      }
      return;
    case kSlotCommand:
      slots_.handle(data, out);
      return;
    case kI2CCommand:
      i2c_.handle(data, out);
      return;
    case kEchoCommand:
      out.reply(packet, ReplyKind::Echo);
      return;
    case kQueryCommand:
      handleQuery(data, out);
      return;
    case kFactoryCommand:
      factory_.handle(data, out);
      return;
    default:
      unknownCommand(data, out);
  }
}

void SimModule::unknownCommand(const std::vector<uint8_t>& data, Outcome& out) {
  // Answered like a UEI request for an entity this module does not have.
  UeiRequest req;
  req.command = data[0];
  if (data.size() > 1) {
    req.option = data[1] & kOptionMask;
    req.direction = data[1] & kDirectionMask;
  }
  if (data.size() > 2) req.index = data[2] & kIndexMask;
  log_.warning(label() + ": unknown command " + std::to_string(data[0]) + " (" + HexBytes(data) + ")");
  out.reply(UeiErrorReply(state_.address, req, data.size() < 3 && !IsNonUeiCommand(data[0]) ? aErrShortCommand
                                                                                             : aErrInvalidEntity),
            ReplyKind::Error);
}

bool SimModule::takesBytes(const UeiRequest& req) const {
  if (!req.isSet()) return false;
  return (req.command == kSystemCommand && system_.isBytesOption(req.option)) ||
         (req.command == kUpgradeCommand && req.option == kUpgradeDataOption);
}

void SimModule::handleUei(const SimPacket& packet, Clock::time_point now, Outcome& out) {
  UeiRequest req;
  if (!ParseUei(packet, &req)) {
    UeiRequest partial;
    partial.command = packet.data[0];
    if (packet.data.size() > 1) {
      partial.option = packet.data[1] & kOptionMask;
      partial.direction = packet.data[1] & kDirectionMask;
    }
    out.reply(UeiErrorReply(state_.address, partial, aErrShortCommand), ReplyKind::Uei);
    return;
  }
  if (takesBytes(req)) {
    std::vector<uint8_t> value;
    aErr error = aErrNone;
    switch (collector_.feed(req, kMaxUeiBytesValue, &value, &error)) {
      case UeiBytesCollector::Result::InProgress:
        return;
      case UeiBytesCollector::Result::Failed:
        log_.warning(label() + ": bytes value for command " + std::to_string(req.command) + " option " +
                     std::to_string(req.option) + " failed: " + aError_GetErrorText(error));
        out.reply(UeiErrorReply(state_.address, req, error), ReplyKind::Uei);
        return;
      case UeiBytesCollector::Result::Complete:
        req.value = std::move(value);
        break;
    }
  }
  dispatchUei(req, now, out);
}

void SimModule::dispatchUei(const UeiRequest& req, Clock::time_point now, Outcome& out) {
  switch (req.command) {
    case kSystemCommand:
      system_.handle(req, now, out);
      return;
    case kStreamCommand:
      streams_.handleUei(req, out);
      return;
    case kUpgradeCommand: {
      aErr support = upgrade_.supports(req.option, req.index, req.direction);
      aErr result = support != aErrNone ? support : upgrade_.acceptUeiData(req.value);
      out.reply(result == aErrNone ? UeiRawReply(state_.address, req, {}) : UeiErrorReply(state_.address, req, result),
                ReplyKind::Uei);
      return;
    }
    default:
      out.reply(UeiErrorReply(state_.address, req, aErrInvalidEntity), ReplyKind::Uei);
  }
}

aErr SimModule::supports(uint8_t command, uint8_t option, uint8_t index, uint8_t direction) const {
  switch (command) {
    case kSystemCommand:
      return system_.supports(option, index, direction);
    case kStreamCommand:
      return streams_.supports(option, index, direction);
    case kUpgradeCommand:
      return upgrade_.supports(option, index, direction);
    default:
      return aErrInvalidEntity;
  }
}

uint8_t SimModule::entityCount(uint8_t entityClass) const {
  switch (entityClass) {
    case kSystemCommand:
    case kI2CCommand:
    case kUpgradeCommand:
      return 1;
    default:
      return 0;
  }
}

void SimModule::handleQuery(const std::vector<uint8_t>& data, Outcome& out) {
  auto answer = [&](std::vector<uint8_t> bytes) { out.reply(SimPacket(state_.address, std::move(bytes)), ReplyKind::Query); };
  uint8_t sub = data.size() > 1 ? data[1] : 0;
  if (sub == kBuildQuery && data.size() == 2) {
    std::vector<uint8_t> bytes = {kQueryCommand, kBuildQuery};
    PutBE32(bytes, state_.build);
    answer(bytes);
  } else if (sub == kHasUeiQuery && data.size() == 6) {
    uint8_t flags = data[5];
    bool validFlags = flags == 0 || flags == kOptionGet || flags == kOptionSet;
    aErr result = validFlags ? supports(data[2], data[3], data[4], flags) : aErrParam;
    answer({kQueryCommand, kHasUeiQuery, data[2], data[3], data[4], static_cast<uint8_t>(result)});
  } else if (sub == kClassQuantityQuery && data.size() == 3) {
    answer({kQueryCommand, sub, data[2], entityCount(data[2])});
  } else if ((sub == kSubClassQuantityQuery || sub == kEntityGroupQuery) && data.size() == 4) {
    // No entity of this module has subclasses or groups.
    answer({kQueryCommand, sub, data[2], data[3], 0});
  } else {
    log_.warning(label() + ": malformed or unknown 0x49 query " + HexBytes(data));
    answer({kQueryCommand, static_cast<uint8_t>(sub | 0x80), aErrInvalidOption});
  }
}

void SimModule::leave() {
  state_.run = RunState::Away;
  upgrade_.restart();
  streams_.restart();
  slots_.restart();
  collector_.clear();
}

void SimModule::comeBack(Restart kind, Clock::time_point now) {
  bool intoLoader = kind == Restart::IntoLoader;
  state_.run = intoLoader ? RunState::Loader : RunState::Firmware;
  state_.serial = intoLoader && state_.spec.loaderUsesDefaultSerial ? kLoaderSerial : state_.spec.serial;
  VersionMarker::Version marker;
  if (kind == Restart::NewImage && upgrade_.findVersion(&marker)) {
    state_.build = marker.build;
    state_.version = {marker.major, marker.minor, marker.patch};
  }
  state_.boot(now);
}

}  // namespace devsim

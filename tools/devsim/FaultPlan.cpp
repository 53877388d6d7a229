#include "FaultPlan.h"

#include "ModuleSpec.h"

namespace devsim {

namespace {

bool ParseCount(const std::string& text, uint32_t* out) {
  uint64_t n;
  if (!ParseNumber(text, 0xFFFFFFFFu, &n) || n == 0) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

bool ParseBody(const std::string& name, const std::string& arg, bool hasArg, FaultSpec* f, std::string* error) {
  using Type = FaultSpec::Type;
  uint64_t n = 0;
  if (name == "drop") {
    f->type = Type::DropReply;
    size_t colon = arg.find(':');
    if (!hasArg || !ReplyKindFromName(arg.substr(0, colon), &f->kind)) {
      *error = "drop needs a reply kind: drop=KIND[:N]";
      return false;
    }
    return colon == std::string::npos || ParseCount(arg.substr(colon + 1), &f->count) ||
           (*error = "drop count must be a positive number", false);
  }
  if (name == "corrupt") {
    f->type = Type::Corrupt;
    size_t colon = arg.find(':');
    if (!hasArg || !ParseCount(arg.substr(0, colon), &f->count) ||
        (colon != std::string::npos && !ParseNumber(arg.substr(colon + 1), 29, &n))) {
      *error = "corrupt needs corrupt=N[:OFFSET] (offset 0..29)";
      return false;
    }
    f->value = static_cast<uint32_t>(n);
    return true;
  }
  if (name == "close") {
    f->type = Type::CloseAfter;
    return (hasArg && ParseCount(arg, &f->count)) || (*error = "close needs close=N", false);
  }
  if (name == "hbmiss") {
    f->type = Type::HeartbeatLoss;
    return (hasArg && ParseCount(arg, &f->count)) || (*error = "hbmiss needs hbmiss=N", false);
  }
  if (name == "delay") {
    f->type = Type::Delay;
    if (!hasArg || !ParseNumber(arg, 600000, &n)) {
      *error = "delay needs delay=MS";
      return false;
    }
    f->value = static_cast<uint32_t>(n);
    return true;
  }
  if (name == "refuseprepare") {
    f->type = Type::RefusePrepare;
    if (!hasArg || !ParseNumber(arg, 255, &n) || n == 0) {
      *error = "refuseprepare needs a non-zero status: refuseprepare=STATUS";
      return false;
    }
    f->value = static_cast<uint32_t>(n);
    return true;
  }
  const struct {
    const char* name;
    Type type;
  } flags[] = {{"wrongcount", Type::WrongCount}, {"wrongsum", Type::WrongSum}, {"noreturn", Type::NoReturn}};
  for (const auto& flag : flags) {
    if (name == flag.name) {
      f->type = flag.type;
      return !hasArg || (*error = name + " takes no value", false);
    }
  }
  *error = "unknown fault '" + name + "'";
  return false;
}

}  // namespace

bool ParseFault(const std::string& text, FaultSpec* out, uint32_t* serial, std::string* error) {
  std::string body = text;
  *serial = 0;
  size_t at = text.find('@');
  if (at != std::string::npos) {
    body = text.substr(0, at);
    if (!ParseSerial(text.substr(at + 1), serial)) {
      *error = "bad module serial after '@' in fault '" + text + "'";
      return false;
    }
  }
  size_t eq = body.find('=');
  FaultSpec f;
  if (!ParseBody(body.substr(0, eq), eq == std::string::npos ? "" : body.substr(eq + 1), eq != std::string::npos, &f,
                 error)) {
    return false;
  }
  *out = f;
  return true;
}

const char* FaultHelp() {
  return
      "Faults (--fault SPEC[@SERIAL]; without @SERIAL the first module):\n"
      "  drop=KIND[:N]       drop the Nth reply of KIND (default the next); KIND is one of sync, uei,\n"
      "                      query, echo, slot, factory, i2c, init, prepare, data, sum, write, error,\n"
      "                      heartbeat, sample\n"
      "  wrongcount          the next upgrade data reply reports one byte too few\n"
      "  wrongsum            the next upgrade sum reply reports a wrong sum\n"
      "  corrupt=N[:OFFSET]  flip every bit of byte OFFSET (default 0, the address) of the Nth packet sent\n"
      "  close=N             close the host connection after N more packets from it\n"
      "  delay=MS            delay every reply by MS milliseconds (0 ends it)\n"
      "  refuseprepare=S     refuse the next upgrade prepare with status S\n"
      "  noreturn            after its next restart the module never comes back\n"
      "  hbmiss=N            drop a host link (close it) once N heartbeats on it went without a\n"
      "                      correct answer (0x00, v + 2 for a heartbeat 0x00, v)\n";
}

void FaultPlan::add(const FaultSpec& fault) {
  switch (fault.type) {
    case FaultSpec::Type::Delay:
      delayMs_ = fault.value;
      return;
    case FaultSpec::Type::NoReturn:
      noReturn_ = true;
      return;
    case FaultSpec::Type::HeartbeatLoss:
      heartbeatMissLimit_ = fault.count;
      return;
    default:
      armed_.push_back({fault, fault.count});
  }
}

bool FaultPlan::countDown(FaultSpec::Type type, ReplyKind kind, bool matchKind, uint32_t* value) {
  // Every matching fault counts this event; the first that reaches zero fires and is disarmed.
  bool fired = false;
  for (auto it = armed_.begin(); it != armed_.end();) {
    if (it->spec.type != type || (matchKind && it->spec.kind != kind) || --it->remaining > 0) {
      ++it;
      continue;
    }
    if (!fired && value) *value = it->spec.value;
    fired = true;
    it = armed_.erase(it);
  }
  return fired;
}

bool FaultPlan::takeOnce(FaultSpec::Type type, uint32_t* value) { return countDown(type, ReplyKind::Uei, false, value); }

bool FaultPlan::dropReply(ReplyKind kind) { return countDown(FaultSpec::Type::DropReply, kind, true, nullptr); }
bool FaultPlan::takeWrongCount() { return takeOnce(FaultSpec::Type::WrongCount, nullptr); }
bool FaultPlan::takeWrongSum() { return takeOnce(FaultSpec::Type::WrongSum, nullptr); }

bool FaultPlan::takePrepareRefusal(uint8_t* status) {
  uint32_t value = 0;
  if (!takeOnce(FaultSpec::Type::RefusePrepare, &value)) return false;
  *status = static_cast<uint8_t>(value);
  return true;
}

int FaultPlan::corruptOffset(size_t wireSize) {
  uint32_t offset = 0;
  if (!countDown(FaultSpec::Type::Corrupt, ReplyKind::Uei, false, &offset)) return -1;
  return offset < wireSize ? static_cast<int>(offset) : 0;
}

bool FaultPlan::closeConnection() { return countDown(FaultSpec::Type::CloseAfter, ReplyKind::Uei, false, nullptr); }

}  // namespace devsim

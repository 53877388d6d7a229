#include "SystemEntity.h"

#include <cmath>
#include <functional>

#include "UeiBytes.h"

namespace devsim {

namespace {

enum class Kind { U8, U32, Call, Bytes };

struct Context {
  ModuleState& state;
  Clock::time_point now;
  Restart* restart;
};

using Getter = std::function<uint32_t(const ModuleState&, Clock::time_point, uint8_t subindex)>;
using Setter = std::function<aErr(Context&, uint32_t value)>;
using BytesField = std::vector<uint8_t> SystemSettings::*;

struct OptionDef {
  uint8_t code;
  Kind kind;
  Getter get;               // empty: not readable
  Setter set;               // empty: not writable (for calls: the call itself)
  uint8_t subindices = 0;   // 0: the option takes no subindex
  BytesField bytes = nullptr;
};

// Slowly varying measurements, so that streamed samples change over time.
uint32_t Wave(const ModuleState& s, Clock::time_point now, double base, double swing, double periodSeconds) {
  double t = static_cast<double>(s.uptimeMicros(now)) / 1e6;
  return static_cast<uint32_t>(static_cast<int64_t>(base + swing * std::sin(2 * M_PI * t / periodSeconds)));
}

Getter Fixed(uint32_t value) {
  return [value](const ModuleState&, Clock::time_point, uint8_t) { return value; };
}

template <typename F>
Getter Read(F f) {
  return [f](const ModuleState& s, Clock::time_point, uint8_t) { return static_cast<uint32_t>(f(s)); };
}

Setter Store(uint8_t SystemSettings::*field) {
  return [field](Context& c, uint32_t v) {
    c.state.settings.*field = static_cast<uint8_t>(v);
    return aErrNone;
  };
}

// A call that always succeeds: it does `action` and takes no value.
Setter Does(void (*action)(Context&)) {
  return [action](Context& c, uint32_t) {
    action(c);
    return aErrNone;
  };
}

Getter Setting(uint8_t SystemSettings::*field) {
  return Read([field](const ModuleState& s) { return s.settings.*field; });
}

const std::vector<OptionDef>& Options() {
  static const std::vector<OptionDef> options = {
      {1, Kind::U8, Read([](const ModuleState& s) { return s.address; }), nullptr},
      {2, Kind::U8, Setting(&SystemSettings::routerAddress),
       [](Context& c, uint32_t v) {
         if (v == 0 || (v & 1) != 0) return aErrParam;
         c.state.settings.routerAddress = static_cast<uint8_t>(v);
         return aErrNone;
       }},
      {3, Kind::U8, Setting(&SystemSettings::heartbeatInterval), Store(&SystemSettings::heartbeatInterval)},
      {4, Kind::U8, Setting(&SystemSettings::led),
       [](Context& c, uint32_t v) {
         c.state.settings.led = v ? 1 : 0;
         return aErrNone;
       }},
      {6, Kind::U8, Setting(&SystemSettings::bootSlot),
       [](Context& c, uint32_t v) {
         if (v > 11) return aErrRange;
         c.state.settings.bootSlot = static_cast<uint8_t>(v);
         return aErrNone;
       }},
      {7, Kind::U32, Read([](const ModuleState& s) { return s.version.packed(); }), nullptr},
      {8, Kind::U8, Read([](const ModuleState& s) { return s.spec.model; }), nullptr},
      {9, Kind::U32, Read([](const ModuleState& s) { return s.serial; }), nullptr},
      {10, Kind::Call, nullptr, Does([](Context& c) { c.state.saved = c.state.settings; })},
      {11, Kind::Call, nullptr, Does([](Context& c) { *c.restart = Restart::Reset; })},
      {12, Kind::U32, [](const ModuleState& s, Clock::time_point n, uint8_t) { return Wave(s, n, 5.0e6, 2.0e4, 7); },
       nullptr},
      {13, Kind::U8, Fixed(0), nullptr},
      {14, Kind::U8, Read([](const ModuleState& s) { return s.spec.address; }), nullptr},
      {15, Kind::U8, Setting(&SystemSettings::softwareOffset),
       [](Context& c, uint32_t v) {
         if ((v & 1) != 0 || c.state.spec.address + v > 254) return aErrRange;
         c.state.settings.softwareOffset = static_cast<uint8_t>(v);
         return aErrNone;
       }},
      {16, Kind::U8, Read([](const ModuleState& s) { return s.saved.routerAddress; }), nullptr},
      {20, Kind::U8, nullptr,
       [](Context& c, uint32_t v) {
         c.state.routeToMe = v ? 1 : 0;
         return aErrNone;
       }},
      {21, Kind::U32, [](const ModuleState& s, Clock::time_point n, uint8_t) { return Wave(s, n, 2.5e5, 5.0e4, 5); },
       nullptr},
      {22, Kind::U32,
       [](const ModuleState& s, Clock::time_point n, uint8_t) { return static_cast<uint32_t>(s.uptimeMicros(n) / 1000000); },
       nullptr},
      {23, Kind::U32, Fixed(41000000), nullptr},
      {24, Kind::Call, nullptr, [](Context&, uint32_t) { return aErrNone; }},
      {25, Kind::U32, [](const ModuleState& s, Clock::time_point n, uint8_t) { return Wave(s, n, 5.1e6, 3.0e4, 9); },
       nullptr},
      {26, Kind::U32, [](const ModuleState& s, Clock::time_point n, uint8_t) { return Wave(s, n, 3.0e5, 6.0e4, 6); },
       nullptr},
      {27, Kind::U32, [](const ModuleState& s, Clock::time_point n, uint8_t) { return Wave(s, n, 3.5e7, 1.5e6, 11); },
       nullptr},
      {28, Kind::U32, Fixed(22000000), nullptr},
      {29, Kind::U8, Fixed(1), nullptr},
      {30, Kind::U8, Setting(&SystemSettings::powerBehavior), Store(&SystemSettings::powerBehavior)},
      {31, Kind::Bytes, nullptr, nullptr, 0, &SystemSettings::powerBehaviorConfig},
      {32, Kind::Bytes, nullptr, nullptr, 0, &SystemSettings::name},
      {33, Kind::U32, Read([](const ModuleState& s) { return s.settings.powerLimitMax; }), nullptr},
      {34, Kind::U32, Read([](const ModuleState& s) { return s.settings.powerLimitMax; }),
       [](Context& c, uint32_t v) {
         c.state.settings.powerLimitMax = v;
         return aErrNone;
       }},
      {35, Kind::U32, Fixed(0), nullptr},
      {36, Kind::Call, nullptr, Does([](Context& c) { c.state.settings = c.state.defaults; })},
      {37, Kind::Call, nullptr, Does([](Context& c) { c.state.settings = c.state.saved = c.state.defaults; })},
      {38, Kind::U8, Setting(&SystemSettings::linkInterface), Store(&SystemSettings::linkInterface)},
      {39, Kind::U32, [](const ModuleState& s, Clock::time_point, uint8_t sub) { return s.spec.identifiers[sub]; },
       nullptr, 4},
      {40, Kind::U32, Read([](const ModuleState& s) { return s.spec.hardwareVersion; }), nullptr},
      {41, Kind::U32, Fixed(0), nullptr},
      {42, Kind::U8, Setting(&SystemSettings::ledMaxBrightness), Store(&SystemSettings::ledMaxBrightness)},
      {43, Kind::U32, Read([](const ModuleState& s) { return s.build; }), nullptr},
      {45, Kind::U32, Read([](const ModuleState& s) { return s.spec.protocolFeatures; }), nullptr},
  };
  return options;
}

const OptionDef* Find(uint8_t code) {
  for (const auto& def : Options()) {
    if (def.code == code) return &def;
  }
  return nullptr;
}

size_t Width(Kind kind) { return kind == Kind::U8 ? 1 : kind == Kind::U32 ? 4 : 0; }

bool Readable(const OptionDef& def) { return def.get || def.bytes; }
bool Writable(const OptionDef& def) { return def.set || def.bytes; }

void HandleGet(const OptionDef& def, const UeiRequest& req, ModuleState& state, Clock::time_point now, Outcome& out) {
  if (def.bytes) {
    for (auto& p : UeiBytesReply(state.address, req, state.settings.*def.bytes)) out.reply(std::move(p), ReplyKind::Uei);
    return;
  }
  uint8_t subindex = 0;
  if (def.subindices > 0) {
    subindex = req.value.empty() ? 0 : req.value[0];
    if (subindex >= def.subindices) {
      out.reply(UeiErrorReply(state.address, req, aErrIndexRange), ReplyKind::Uei);
      return;
    }
  }
  out.reply(UeiValueReply(state.address, req, Width(def.kind), def.get(state, now, subindex)), ReplyKind::Uei);
}

void HandleSet(const OptionDef& def, const UeiRequest& req, ModuleState& state, Clock::time_point now, Outcome& out) {
  if (def.bytes) {
    if (req.value.size() > state.spec.bytesValueMax) {
      out.reply(UeiErrorReply(state.address, req, aErrSize), ReplyKind::Uei);
      return;
    }
    state.settings.*def.bytes = req.value;
    out.reply(UeiRawReply(state.address, req, {}), ReplyKind::Uei);
    return;
  }
  size_t width = Width(def.kind);
  if (req.value.size() != width) {
    out.reply(UeiErrorReply(state.address, req, req.value.size() < width ? aErrShortCommand : aErrParam),
              ReplyKind::Uei);
    return;
  }
  Context context{state, now, &out.restart};
  aErr result = def.set(context, GetBE(req.value.data(), width));
  if (result != aErrNone) {
    out.restart = Restart::None;
    out.reply(UeiErrorReply(state.address, req, result), ReplyKind::Uei);
    return;
  }
  // The acknowledgement carries the value the device now holds (nothing for calls).
  uint32_t held = def.get ? def.get(state, now, 0) : GetBE(req.value.data(), width);
  out.reply(UeiValueReply(state.address, req, width, held), ReplyKind::Uei);
}

}  // namespace

SystemEntity::SystemEntity(ModuleState& state) : state_(state) {}

bool SystemEntity::isBytesOption(uint8_t option) const {
  const OptionDef* def = Find(option);
  return def && def->kind == Kind::Bytes;
}

aErr SystemEntity::supports(uint8_t option, uint8_t index, uint8_t direction) const {
  const OptionDef* def = Find(option);
  if (!def) return aErrInvalidOption;
  if (index != 0) return aErrIndexRange;
  if (direction == kOptionGet && !Readable(*def)) return aErrInvalidOption;
  if (direction == kOptionSet && !Writable(*def)) return aErrInvalidOption;
  return aErrNone;
}

void SystemEntity::handle(const UeiRequest& req, Clock::time_point now, Outcome& out) {
  aErr support = supports(req.option, req.index, req.direction);
  if (req.direction != kOptionGet && req.direction != kOptionSet) support = aErrInvalidOption;
  if (support != aErrNone) {
    out.reply(UeiErrorReply(state_.address, req, support), ReplyKind::Uei);
    return;
  }
  const OptionDef& def = *Find(req.option);
  if (req.isGet()) {
    HandleGet(def, req, state_, now, out);
  } else {
    HandleSet(def, req, state_, now, out);
  }
}

std::vector<EntityValue> SystemEntity::values(uint8_t option, Clock::time_point now) const {
  std::vector<EntityValue> found;
  for (const auto& def : Options()) {
    if ((option != 0xFF && def.code != option) || !def.get || Width(def.kind) == 0) continue;
    uint8_t count = def.subindices ? def.subindices : 1;
    for (uint8_t sub = 0; sub < count; ++sub) {
      found.push_back({def.code, def.subindices > 0, sub, static_cast<uint8_t>(Width(def.kind)),
                       def.get(state_, now, sub)});
    }
  }
  return found;
}

}  // namespace devsim

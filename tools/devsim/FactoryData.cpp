#include "FactoryData.h"

#include <algorithm>
#include <string>

#include "aError.h"

namespace devsim {

namespace {
constexpr uint8_t kKindMask = 0x0F;
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint8_t kEndFlag = 0x20;
constexpr uint8_t kFirstFlag = 0x40;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kReadChunk = 26;
}  // namespace

FactoryData::FactoryData(ModuleState& state) : state_(state) {
  // Kind 0 holds the record the factory wrote: identity and a text tag.
  std::vector<uint8_t>& record = records_[0];
  PutBE32(record, state.spec.serial);
  record.push_back(state.spec.model);
  PutBE32(record, state.spec.hardwareVersion);
  const std::string tag = "Axonforge factory record";
  record.insert(record.end(), tag.begin(), tag.end());
}

void FactoryData::reply(Outcome& out, std::vector<uint8_t> data) {
  data.insert(data.begin(), kFactoryCommand);
  out.reply(SimPacket(state_.address, std::move(data)), ReplyKind::Factory);
}

void FactoryData::handle(const std::vector<uint8_t>& data, Outcome& out) {
  if (data.size() < 2) {
    reply(out, {kErrorBit, aErrShortCommand});
    return;
  }
  uint8_t flags = data[1];
  uint8_t kind = flags & kKindMask;
  if (flags & kEndFlag) {
    end(data, out);
  } else if (flags & kWriteFlag) {
    write(kind, (flags & kFirstFlag) != 0, data, out);
  } else {
    read(kind, (flags & kFirstFlag) != 0, out);
  }
}

void FactoryData::end(const std::vector<uint8_t>& data, Outcome& out) {
  if (data.size() < 4) {
    reply(out, {kErrorBit, aErrShortCommand});
    return;
  }
  size_t count = GetBE(&data[2], 2);
  Transfer done = transfer_;
  transfer_ = Transfer();
  if (!done.active) {
    reply(out, {count == 0 ? uint8_t{0} : kErrorBit, count == 0 ? uint8_t{aErrNone} : uint8_t{aErrMode}});
    return;
  }
  size_t moved = done.writing ? done.incoming.size() : done.cursor;
  if (count != moved) {
    reply(out, {kErrorBit, aErrSize});
    return;
  }
  if (done.writing) records_[done.kind] = done.incoming;
  reply(out, {0, aErrNone});
}

void FactoryData::read(uint8_t kind, bool first, Outcome& out) {
  if (first) {
    transfer_ = Transfer();
    transfer_.active = true;
    transfer_.kind = kind;
  } else if (!transfer_.active || transfer_.writing || transfer_.kind != kind) {
    reply(out, {static_cast<uint8_t>(kind | kErrorBit), aErrMode});
    return;
  }
  const std::vector<uint8_t>& record = records_[kind];
  size_t n = std::min(kReadChunk, record.size() - std::min(transfer_.cursor, record.size()));
  std::vector<uint8_t> bytes = {kind};
  bytes.insert(bytes.end(), record.begin() + static_cast<long>(transfer_.cursor),
               record.begin() + static_cast<long>(transfer_.cursor + n));
  transfer_.cursor += n;
  reply(out, std::move(bytes));
}

void FactoryData::write(uint8_t kind, bool first, const std::vector<uint8_t>& data, Outcome& out) {
  if (first) {
    transfer_ = Transfer();
    transfer_.active = true;
    transfer_.writing = true;
    transfer_.kind = kind;
  }
  // A write acknowledgement has room for no code: the error bit alone says it was refused.
  bool refused = !transfer_.active || !transfer_.writing || transfer_.kind != kind ||
                 transfer_.incoming.size() + data.size() - 2 > kMaxRecord;
  if (refused) {
    transfer_ = Transfer();
    reply(out, {static_cast<uint8_t>(kind | kErrorBit)});
    return;
  }
  transfer_.incoming.insert(transfer_.incoming.end(), data.begin() + 2, data.end());
  reply(out, {kind});
}

}  // namespace devsim

#include "UeiBytes.h"

#include <algorithm>

namespace devsim {

std::vector<SimPacket> UeiBytesReply(uint8_t address, const UeiRequest& req, const std::vector<uint8_t>& value) {
  std::vector<SimPacket> packets;
  size_t offset = 0;
  uint8_t sequence = 0;
  do {
    size_t chunk = std::min(kBytesChunk, value.size() - offset);
    std::vector<uint8_t> bytes(value.begin() + offset, value.begin() + offset + chunk);
    offset += chunk;
    bytes.push_back(static_cast<uint8_t>((sequence & kTrailerSequence) | (offset < value.size() ? kTrailerMore : 0)));
    packets.push_back(UeiRawReply(address, req, bytes));
    ++sequence;
  } while (offset < value.size());
  return packets;
}

UeiBytesCollector::Result UeiBytesCollector::feed(const UeiRequest& req, size_t limit, std::vector<uint8_t>* value,
                                                  aErr* error) {
  auto key = std::make_tuple(req.command, req.option, req.index);
  if (req.value.empty()) {
    // No trailer at all: a one-packet chain that is already broken.
    chains_.erase(key);
    *error = aErrShortCommand;
    return Result::Failed;
  }
  uint8_t trailer = req.value.back();
  uint8_t sequence = trailer & kTrailerSequence;
  bool more = (trailer & kTrailerMore) != 0;
  Chain& chain = chains_[key];  // a new chain when none is open
  if (chain.error == aErrNone) {
    if (sequence != chain.nextSequence) {
      chain.error = aErrPacket;
    } else if (chain.bytes.size() + req.value.size() - 1 > limit) {
      chain.error = aErrOverrun;
    } else {
      chain.bytes.insert(chain.bytes.end(), req.value.begin(), req.value.end() - 1);
    }
  }
  chain.nextSequence = static_cast<uint8_t>((chain.nextSequence + 1) & kTrailerSequence);
  if (more) return Result::InProgress;
  Chain done = std::move(chain);
  chains_.erase(key);
  if (done.error != aErrNone) {
    *error = done.error;
    return Result::Failed;
  }
  *value = std::move(done.bytes);
  return Result::Complete;
}

}  // namespace devsim

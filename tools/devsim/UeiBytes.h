#ifndef DEVSIM_UEIBYTES_H
#define DEVSIM_UEIBYTES_H

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "SimPacket.h"
#include "UeiCodec.h"

namespace devsim {

constexpr size_t kBytesChunk = 24;
constexpr uint8_t kTrailerMore = 0x80;
constexpr uint8_t kTrailerSequence = 0x7F;

// A bytes value as the reply packets that carry it: up to 24 bytes per packet between the
// header and a trailer holding the sequence number and the "more follows" bit.
std::vector<SimPacket> UeiBytesReply(uint8_t address, const UeiRequest& req, const std::vector<uint8_t>& value);

// Reassembles bytes values that the host sends as a chain of chunk packets, one chain per
// (command, option, index). A chain begins with the first chunk after the previous one ended
// (continue bit clear) and its sequence numbers count 0, 1, ... modulo 128, so a value of more
// than 128 chunks passes sequence 0 again in its middle. Exactly one outcome is reported per
// chain: when its last chunk arrives, either the whole value or the first error met on the way.
class UeiBytesCollector {
 public:
  enum class Result { InProgress, Complete, Failed };

  // `limit` bounds the size of one value; a longer chain fails with aErrOverrun.
  Result feed(const UeiRequest& req, size_t limit, std::vector<uint8_t>* value, aErr* error);
  // A restarting module forgets the chains it was receiving.
  void clear() { chains_.clear(); }

 private:
  struct Chain {
    std::vector<uint8_t> bytes;
    uint8_t nextSequence = 0;
    aErr error = aErrNone;
  };
  std::map<std::tuple<uint8_t, uint8_t, uint8_t>, Chain> chains_;
};

}  // namespace devsim

#endif

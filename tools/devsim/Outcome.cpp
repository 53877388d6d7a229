#include "Outcome.h"

#include <iterator>

namespace devsim {

namespace {
const char* const kKindNames[] = {"sync", "uei",  "query", "echo", "slot",  "factory",   "i2c",   "init",
                                  "prepare", "data", "sum", "write", "error", "heartbeat", "sample"};
}

const char* ReplyKindName(ReplyKind kind) { return kKindNames[static_cast<size_t>(kind)]; }

bool ReplyKindFromName(const std::string& name, ReplyKind* out) {
  for (size_t i = 0; i < std::size(kKindNames); ++i) {
    if (name == kKindNames[i]) {
      *out = static_cast<ReplyKind>(i);
      return true;
    }
  }
  return false;
}

}  // namespace devsim

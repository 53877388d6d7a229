#ifndef TESTLIB_COLLECTEDSPECS_H
#define TESTLIB_COLLECTEDSPECS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "aLinkSpec.h"

// What a discovery callback was offered, in order; CollectSpec is the callback, with a
// CollectedSpecs as its reference.
struct CollectedSpecs {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never ask to stop
  bool match = true;     // what the callback answers for each module
};

uint8_t CollectSpec(const linkSpec* spec, uint8_t* matched, void* reference);

#endif

#ifndef TESTLIB_DEVSIMCONFIG_H
#define TESTLIB_DEVSIMCONFIG_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DevSim.h"
#include "ModuleSpec.h"

namespace devsimtest {

// A simulator configuration with the given module descriptions, each of which must parse.
inline devsim::DevSimConfig ConfigFor(const std::vector<std::string>& modules) {
  devsim::DevSimConfig config;
  for (const auto& text : modules) {
    devsim::ModuleSpec spec;
    std::string error;
    EXPECT_TRUE(devsim::ParseModuleSpec(text, &spec, &error)) << error;
    config.modules.push_back(spec);
  }
  return config;
}

}  // namespace devsimtest

#endif

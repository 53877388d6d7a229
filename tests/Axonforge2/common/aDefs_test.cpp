#include <gtest/gtest.h>

#include <set>
#include <string>

#include "aDefs.h"

TEST(aDefs, SeventeenDistinctModelNames) {
  std::set<std::string> names;
  for (uint32_t model = 0; model < 300; ++model) {
    std::string name = aDefs_GetModelName(model);
    bool known = model == 4 || model == 5 || (model >= 13 && model <= 27);
    if (known) {
      EXPECT_NE(name, "Unknown") << model;
      names.insert(name);
    } else {
      EXPECT_EQ(name, "Unknown") << model;
    }
  }
  EXPECT_EQ(names.size(), 17u);
  EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFFu), "Unknown");
}

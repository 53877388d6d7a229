#include <gtest/gtest.h>

#include "aError.h"

TEST(aError, NamesAndDescriptions) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
  EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorDescription(aErrTimeout), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Axonforge command to short");
  EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
  EXPECT_STREQ(aError_GetErrorText(aErrUnknown), "aErrUnknown");
}

TEST(aError, CodesOutsideTheTableReadAsUnknown) {
  for (int code : {35, 1000, -1}) {
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error");
  }
}

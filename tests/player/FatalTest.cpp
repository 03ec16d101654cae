#include <gtest/gtest.h>

#include "player/Fatal.h"

TEST(FatalErrorDeathTest, LogsTheTextAndExitsWithCodeOne) {
  setMessageBoxAvailable(false);  // no display in tests: no box may block the run
  EXPECT_EXIT(playerFatalError("Failed to create dx11 device"), testing::ExitedWithCode(1),
              "Fatal error: Failed to create dx11 device\n\n");
}

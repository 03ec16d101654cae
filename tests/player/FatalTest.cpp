#include <gtest/gtest.h>

#include "player/Fatal.h"

TEST(FatalErrorDeathTest, LogsTheTextAndExitsWithCodeOne) {
  setMessageBoxAvailable(false);  // no display in tests: no box may block the run
  EXPECT_EXIT(playerFatalError("Failed to create dx11 device"), testing::ExitedWithCode(1),
              "Fatal error: Failed to create dx11 device\n\n");
  // Texts longer than the buffer are cut, not overrun.
  std::string longText(10000, 'x');
  EXPECT_EXIT(playerFatalError(longText.c_str()), testing::ExitedWithCode(1), "Fatal error: xxxx");
}

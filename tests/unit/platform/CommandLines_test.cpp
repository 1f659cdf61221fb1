// The command lines the updater builds for the programs it starts, where the
// scenarios see only ordinary folders.
#include <gtest/gtest.h>

#include <string>

#include "platform/CommandLines.h"

using namespace orv;

// How the elevated relaunch's command line splits back is proven for any
// arguments by the options fuzz target.
TEST(CommandLinesTest, TheElevationMarkerAndTheRunOnceCommand)
{
    EXPECT_EQ(BuildElevatedParameters({}), L"/elevated");
    EXPECT_TRUE(HasElevatedMarker({L"/x", L"/ELEVATED"}));
    EXPECT_FALSE(HasElevatedMarker({L"/elevated:1", L"-elevated"}));
    // A folder ending in a backslash must not swallow the closing quote.
    EXPECT_EQ(BuildRunOnceCommand(L"C:\\U pd\\OrvUpdaterW7.exe", L"C:\\Program Files\\A \"B\" C\\", L"kds"),
              L"\"C:\\U pd\\OrvUpdaterW7.exe\" /finishonly /installpath:\"C:\\Program Files\\A \\\"B\\\" C\\\\\""
              L" /product:kds");
}

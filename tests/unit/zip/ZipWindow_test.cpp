#include <windows.h>

#include <gtest/gtest.h>

#include "log/TraceLog.h"
#include "ui/ProgressWindow.h"
#include "zip/ZipPackage.h"
#include "zip/ZipTestSupport.h"

namespace {

// Extraction keeps the run's window alive: a close the user asked for while
// files were being written is handled during the extraction, which itself
// carries on to the end.
TEST(ZipWindowTest, ExtractionPumpsTheWindowAndFinishes)
{
    TempDir dir;
    TraceLog log;
    log.path = dir / L"trace.log";
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());
    ASSERT_TRUE(::PostMessageW(window.window, WM_CLOSE, 0, 0));
    std::wstring error;
    EXPECT_TRUE(ExtractZipPackage(ZipFixture(L"infozip-mixed.zip"), dir / L"out", log, window, error)) << error;
    EXPECT_TRUE(window.closeRequested);
    EXPECT_EQ(window.window, nullptr);
    EXPECT_TRUE(ReadTestFile(dir / L"out\\bin\\big.bin") == ReadTestFile(ZipFixture(L"tree\\bin\\big.bin")));
}

} // namespace

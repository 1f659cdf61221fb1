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
    EXPECT_TRUE(FilesEqual(dir / L"out\\bin\\big.bin", ZipFixtureTree(L"bin\\big.bin")));
}

TEST(ZipWindowTest, SilentWindowExtractsWithoutTouchingTheQueue)
{
    TempDir dir;
    TraceLog log;
    log.path = dir / L"trace.log";
    ProgressWindow silent(true);
    ASSERT_TRUE(silent.Create());
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 7, 0, 0));

    std::wstring error;
    EXPECT_TRUE(ExtractZipPackage(ZipFixture(L"infozip-deflated.zip"), dir / L"out", log, silent, error)) << error;
    EXPECT_TRUE(FilesEqual(dir / L"out\\docs\\readme.txt", ZipFixtureTree(L"docs\\readme.txt")));
    MSG message{};
    EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE))
        << "a silent run must leave the message queue alone";

    EXPECT_FALSE(ExtractZipPackage(ZipFixture(L"missing.zip"), dir / L"out2", log, silent, error));
    EXPECT_EQ(error, L"Cannot open ZIP file.");
}

} // namespace

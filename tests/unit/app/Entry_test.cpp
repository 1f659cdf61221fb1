#include <gtest/gtest.h>

#include <string>

#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

// The built program itself: today it reads its command line and records the
// start of the run in the install folder's trace log.
TEST(EntryTest, RecordsTheSessionStartInTheInstallFolder)
{
    TempDir dir;
    const std::wstring exe = TestEnvPath("ORV_TEST_EXE");
    ASSERT_TRUE(FileExists(exe)) << "ORV_TEST_EXE does not name the built program";
    const std::wstring install = dir / L"Install Folder";
    ASSERT_TRUE(CreateDirectories(install));

    const std::wstring commandLine = QuoteArgument(exe) + L" /silent " + QuoteArgument(L"/installpath:" + install + L"\\");
    ASSERT_EQ(RunAndWait(commandLine), 0);
    const std::string log = ReadTestFile(JoinPath(install, L"updater-w7-trace.log"));
    const std::string expected = " | Session start | Version=27.0.0.4 | Executable=" + WideToUtf8(exe) + "\r\n";
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(log.substr(0, 13), "INFO | Seq=1 ");
    EXPECT_EQ(log.substr(log.size() - expected.size()), expected);
    EXPECT_EQ(log.find("\r\n"), log.size() - 2) << "exactly one line";
}

} // namespace

// A process id that names another process than the one it was given for,
// which no scenario can arrange on purpose.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/Launch.h"
#include "support/TestSupport.h"

using namespace orv;

TEST(LaunchTest, AProcessCreatedAfterThisOneIsNeverTakenForItsStarter)
{
    // What an ended updater's reused id would name: any process started now.
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    std::wstring command = L"\"" + TestProgramPath() + L"\" --gtest_list_tests";
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                                 &startup, &started));
    const UniqueHandle younger(started.hProcess);
    const UniqueHandle thread(started.hThread);
    EXPECT_FALSE(OpenStartingProcess(started.dwProcessId).Valid());
    EXPECT_TRUE(OpenStartingProcess(::GetCurrentProcessId()).Valid()) << "no younger than itself";
    ::TerminateProcess(younger.Get(), 0);
}

TEST(LaunchTest, AProgramCanBeStartedWithTheDesktopShellsRights)
{
    // Wine gives every process the same token, so only the start itself is
    // seen here; that the program runs unelevated is a check on Windows.
    // Wine's desktop shell may still be starting with the suite.
    ::GetDesktopWindow();
    UniqueHandle shell = DesktopShellToken();
    for (int waited = 0; waited < 200 && !shell; ++waited) {
        ::Sleep(50);
        shell = DesktopShellToken();
    }
    ASSERT_TRUE(shell.Valid()) << "no desktop shell found";
    EXPECT_FALSE(HasRightsBeyondDesktop(shell)) << "one token for all";
    TempDir dir;
    const std::wstring program = dir / L"Recorder.exe";
    ASSERT_TRUE(::CopyFileW(JoinPath(TestEnvPath("ORV_TEST_TOOLS_DIR"), L"LaunchRecorder.exe").c_str(),
                            program.c_str(), FALSE));
    unsigned long error = 0;
    ASSERT_TRUE(StartWithToken(shell, program, dir.Path(), &error)) << error;
    for (int waited = 0; waited < 200 && ReadTestFile(program + L".launched").empty(); ++waited) {
        ::Sleep(50);
    }
    EXPECT_EQ(ReadTestFile(program + L".launched"), WideToUtf8(dir.Path() + L"|\"" + program + L"\"") + "\n");
}

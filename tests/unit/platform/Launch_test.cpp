// A process id that names another process than the one it was given for,
// which no scenario can arrange on purpose.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

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

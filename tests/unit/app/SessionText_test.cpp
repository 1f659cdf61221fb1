// The texts the updater builds for people, where the scenarios see only the
// ordinary cases: long attempt lists and file lists, odd names and crash
// addresses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ErrorLog.h"
#include "app/SessionText.h"

using namespace orv;

TEST(SessionTextTest, LongListsAreCutAndNamesMadeSafe)
{
    std::vector<orv::DownloadAttempt> attempts;
    for (int i = 1; i <= 40; ++i) {
        attempts.push_back({L"http://h/" + std::to_wstring(i), i % 2 ? L"WinHTTP" : L"URLMon", L"PASS"});
    }
    const std::wstring all = AttemptSummary(attempts);
    EXPECT_EQ(all.substr(0, 30), L"WinHTTP http://h/5 -> PASS\r\nUR") << "the newest 36 tries";
    const std::wstring tail = L"URLMon http://h/40 -> PASS\r\n(4 earlier attempts are in updater-w7-trace.log)\r\n";
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
    attempts.resize(36);
    EXPECT_EQ(AttemptSummary(attempts).find(L"earlier"), std::wstring::npos);

    // Exactly ten files name no rest (the reboot-cycle scenario shows twelve).
    const std::vector<std::wstring> files(10, L"C:\\App\\f.dll");
    EXPECT_EQ(RestartQuestionText(L"x", files).find(L"more (see log)"), std::wstring::npos);
    EXPECT_EQ(CompletionText(1, {L"A.zip (one or more files failed)", L"pending-updater-w7.xml (write failed)"})
                  .substr(0, 28),
              L"Completed 0 of 1 package(s).");

    EXPECT_EQ(ExtractFolderName(11, L"a b+c\u00e9.v2.zip"), L"12-a_b_c\u00e9.v2");
    EXPECT_EQ(ExtractFolderName(2, L".zip"), L"3-");
    EXPECT_EQ(NativeCrashMessage(true, 0x17, 0x7FF6ABCD0000ull),
              L"Unhandled native exception | Code=0x00000017 | Address=0x7FF6ABCD0000");
    EXPECT_EQ(NativeCrashMessage(true, 0x80000003, 0), L"Unhandled native exception | Code=0x80000003 | Address=0x0");
    EXPECT_EQ(NativeCrashMessage(false, 0, 0), L"Unhandled native exception");
}

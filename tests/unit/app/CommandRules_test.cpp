// The texts the updater builds for people and for the programs it starts:
// the attempt summary, the crash-log message, and every command line, which
// must split back into exactly the intended arguments.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/SessionText.h"
#include "app/ErrorLog.h"
#include "platform/CommandLines.h"

namespace {

std::vector<std::wstring> Split(const std::wstring& parameters)
{
    int count = 0;
    const std::wstring line = L"prog.exe " + parameters;
    wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> arguments(argv + 1, argv + count);
    ::LocalFree(argv);
    return arguments;
}

TEST(AttemptSummaryTest, ListsTheNewestThirtySixTries)
{
    std::vector<orv::DownloadAttempt> attempts;
    EXPECT_EQ(AttemptSummary(attempts), L"");
    for (int i = 1; i <= 40; ++i) {
        attempts.push_back({L"http://h/" + std::to_wstring(i), i % 2 ? L"WinHTTP" : L"URLMon", L"PASS"});
    }
    const std::wstring all = AttemptSummary(attempts);
    EXPECT_EQ(all.find(L"http://h/4 "), std::wstring::npos);
    EXPECT_EQ(all.substr(0, 30), L"WinHTTP http://h/5 -> PASS\r\nUR");
    const std::wstring tail = L"URLMon http://h/40 -> PASS\r\n(4 earlier attempts are in updater-w7-trace.log)\r\n";
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
    attempts.resize(36);
    EXPECT_EQ(AttemptSummary(attempts).find(L"earlier"), std::wstring::npos);
}

TEST(SessionTextTest, FolderNamesAndTheFinalDialogs)
{
    EXPECT_EQ(ExtractFolderName(0, L"Orvw_Lum.zip"), L"1-Orvw_Lum");
    EXPECT_EQ(ExtractFolderName(11, L"a b+c\u00e9.v2.zip"), L"12-a_b_c\u00e9.v2");
    EXPECT_EQ(ExtractFolderName(2, L".zip"), L"3-");

    EXPECT_EQ(CompletionText(1, {}), L"Completed 1 of 1 package(s).");
    EXPECT_EQ(CompletionText(3, {L"B.zip (download failed)"}),
              L"Completed 2 of 3 package(s).\r\n\r\nThe following package(s) remain pending and will retry next "
              L"run:\r\n- B.zip (download failed)\r\n");
    EXPECT_EQ(CompletionText(1, {L"A.zip (one or more files failed)", L"pending-updater-w7.xml (write failed)"})
                  .substr(0, 28),
              L"Completed 0 of 1 package(s).");

    std::vector<std::wstring> files;
    for (int i = 1; i <= 12; ++i) {
        files.push_back(L"C:\\App\\f" + std::to_wstring(i) + L".dll");
    }
    const std::wstring question = RestartQuestionText(L"Completed 1 of 1 package(s).", files);
    const std::wstring head = L"Completed 1 of 1 package(s).\r\nWindows restart is required only for these files "
                              L"because close/force-kill and four copy attempts failed:\r\n- C:\\App\\f1.dll\r\n";
    const std::wstring tail = L"- C:\\App\\f10.dll\r\n- and 2 more (see log)\r\n\r\nRestart Windows now?";
    EXPECT_EQ(question.substr(0, head.size()), head);
    EXPECT_EQ(question.substr(question.size() - tail.size()), tail);
    EXPECT_EQ(question.find(L"f11.dll"), std::wstring::npos);
    files.resize(10);
    EXPECT_EQ(RestartQuestionText(L"x", files).find(L"more (see log)"), std::wstring::npos);
}

TEST(CrashMessageTest, CodeHasEightDigitsAddressNoLeadingZeros)
{
    EXPECT_EQ(NativeCrashMessage(true, 0xC0000005, 0x1234),
              L"Unhandled native exception | Code=0xC0000005 | Address=0x1234");
    EXPECT_EQ(NativeCrashMessage(true, 0x80000003, 0), L"Unhandled native exception | Code=0x80000003 | Address=0x0");
    EXPECT_EQ(NativeCrashMessage(true, 0x17, 0x7FF6ABCD0000ull),
              L"Unhandled native exception | Code=0x00000017 | Address=0x7FF6ABCD0000");
    EXPECT_EQ(NativeCrashMessage(false, 0, 0), L"Unhandled native exception");
}

TEST(CommandLinesTest, EveryCommandSplitsBackIntoItsArguments)
{
    const std::wstring awkward = L"C:\\Program Files\\A \"B\" C\\";
    const std::vector<std::wstring> raw = {L"/installpath:" + awkward, L"", L"tail\\\\", L"/SILENT"};
    std::vector<std::wstring> elevated = raw;
    elevated.push_back(L"/elevated");
    EXPECT_EQ(Split(BuildElevatedParameters(raw)), elevated);
    EXPECT_EQ(BuildElevatedParameters({}), L"/elevated");
    EXPECT_TRUE(HasElevatedMarker({L"/x", L"/ELEVATED"}));
    EXPECT_FALSE(HasElevatedMarker({L"/elevated:1", L"-elevated"}));

    EXPECT_EQ(BuildRunOnceCommand(L"C:\\U pd\\OrvUpdaterW7.exe", awkward, L"kds"),
              L"\"C:\\U pd\\OrvUpdaterW7.exe\" /finishonly /installpath:\"C:\\Program Files\\A \\\"B\\\" C\\\\\""
              L" /product:kds");
    EXPECT_EQ(Split(BuildSelfReplaceParameters(4120, L"C:\\S t\\new.exe", L"C:\\T\\OrvUpdaterW7.exe", awkward,
                                               L"orv", true, false)),
              (std::vector<std::wstring>{L"/selfreplace", L"/waitpid:4120", L"/source:C:\\S t\\new.exe",
                                         L"/target:C:\\T\\OrvUpdaterW7.exe", L"/installpath:" + awkward,
                                         L"/product:orv", L"/restartafter"}));
    EXPECT_EQ(Split(BuildPostSelfUpdateParameters(L"C:\\T\\u.exe.selfupdate-backup", L"C:\\S\\n.exe", L"C:\\T",
                                                  L"rjks", false, true)),
              (std::vector<std::wstring>{L"/postselfupdate", L"/finishonly",
                                         L"/selfbackup:C:\\T\\u.exe.selfupdate-backup", L"/selfstage:C:\\S\\n.exe",
                                         L"/installpath:C:\\T", L"/product:rjks", L"/pendingreboot"}));
}

} // namespace

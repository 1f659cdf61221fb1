#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/RunOptions.h"
#include "support/TestSupport.h"

using namespace orv;

namespace {

RunOptions Parse(const std::wstring& tail)
{
    RunOptions options;
    options.silent = true; // parsing starts from the defaults every time
    options.rawArguments = {L"left over"};
    ParseCommandLineText(L"\"C:\\App\\OrvUpdaterW7.exe\" " + tail, options);
    return options;
}

// The flags a command line sets, as one text: "silent,checkOnly" and so on.
std::wstring Flags(const RunOptions& o)
{
    const std::pair<bool, const wchar_t*> flags[] = {
        {o.silent, L"silent"},           {o.autoInstall, L"autoInstall"},   {o.checkOnly, L"checkOnly"},
        {o.diagnostics, L"diagnostics"}, {o.selfTest, L"selfTest"},         {o.noLaunch, L"noLaunch"},
        {o.dryRun, L"dryRun"},           {o.finishOnly, L"finishOnly"},     {o.pendingReboot, L"pendingReboot"},
        {o.restartAfter, L"restartAfter"}, {o.selfReplace, L"selfReplace"}, {o.postSelfUpdate, L"postSelfUpdate"},
    };
    std::wstring text;
    for (const auto& flag : flags) {
        text += flag.first ? (text.empty() ? L"" : L",") + std::wstring(flag.second) : L"";
    }
    return text;
}

TEST(RunOptionsTest, FlagsMatchWholeArgumentsInAnyCaseAndOnlyTheirOwnSpellings)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"/SILENT -autoinstall /Headless", L"silent,autoInstall"},
        {L"-checkonly -diagnostics -selftest -nolaunch -DryRun", L"checkOnly,diagnostics,selfTest,noLaunch,dryRun"},
        // The hand-over runs of the self-update never show anything.
        {L"/selfreplace", L"silent,selfReplace"},
        {L"/PostSelfUpdate", L"silent,postSelfUpdate"},
        // Only some switches have a dash form; look-alikes set nothing.
        {L"-finishonly -headless -selfreplace -pendingreboot --silent silent \"/silent \" /silentx /elevated", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Flags(Parse(c.first)), c.second) << c.first;
    }
}

TEST(RunOptionsTest, ValueSwitchesAreTrimmedSkippedWhenEmptyAndLaterOnesWin)
{
    const struct {
        const wchar_t* tail;
        std::wstring RunOptions::*field;
        const wchar_t* expected;
    } cases[] = {
        {L"\"-INSTALLPATH: C:\\B \"", &RunOptions::installPath, L"C:\\B"},
        {L"\"/ServerUrl:\thttps://h/ \"", &RunOptions::serverUrl, L"https://h/"},
        {L"/server:http://a/ /serverurl:http://c/", &RunOptions::serverUrl, L"http://c/"},
        // An empty value is no match: the earlier value stays.
        {L"/server:http://a/ \"/server: \"", &RunOptions::serverUrl, L"http://a/"},
        // The blank splits the value off into an argument of its own.
        {L"/server:  http://h/", &RunOptions::serverUrl, L""},
        {L"/product:ORV /prodid:1", &RunOptions::product, L"1"},
        {L"/product:KDS prodid:1", &RunOptions::product, L"KDS"},
        // Without a product switch, "prodid", ":" and a digit 0-3 anywhere in the line.
        {L"PRODID : 3 /silent", &RunOptions::product, L"3"},
        {L"prodid:7 /installpath:C:\\v2\\app", &RunOptions::product, L"2"},
        {L"prodid 1", &RunOptions::product, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.tail).*c.field, c.expected) << c.tail;
    }
    const std::pair<const wchar_t*, uint32_t> waits[] = {
        {L"/waitpid:123x", 123}, {L"/waitpid:abc", 0}, {L"\"/waitpid: 77 \"", 77}, {L"/WAITPID:4294967295", 4294967295u}};
    for (const auto& c : waits) {
        EXPECT_EQ(Parse(c.first).waitPid, c.second) << c.first;
    }
}

TEST(RunOptionsTest, PathsAreMadeFullTheInstallFolderDefaultsToTheProgramsOwnAndRawArgumentsStay)
{
    const std::wstring program = TestProgramPath(), own = program.substr(0, program.rfind(L'\\'));
    wchar_t here[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, here);
    EXPECT_EQ(Parse(L"/silent").installPath, own);
    EXPECT_EQ(Parse(L"\"/installpath:  \"").installPath, own);
    EXPECT_EQ(Parse(L"\"/installpath:C:\\Program Files\\sub\\\\\"").installPath, L"C:\\Program Files\\sub");
    EXPECT_EQ(Parse(L"/installpath:D:\\").installPath, L"D:\\");
    const RunOptions o = Parse(L"/manifestfile:rel\\m.xml /source:a\\..\\s.exe /target:C:\\t\\ /selfbackup:C:/b/x "
                               L"/selfstage:C:\\stage\\\\ /elevated \"\"");
    EXPECT_EQ((std::vector<std::wstring>{o.manifestFile, o.source, o.target, o.selfBackup, o.selfStage}),
              (std::vector<std::wstring>{std::wstring(here) + L"\\rel\\m.xml", std::wstring(here) + L"\\s.exe",
                                         L"C:\\t", L"C:\\b\\x", L"C:\\stage"}));
    EXPECT_EQ(o.rawArguments, (std::vector<std::wstring>{L"/manifestfile:rel\\m.xml", L"/source:a\\..\\s.exe",
                                                         L"/target:C:\\t\\", L"/selfbackup:C:/b/x",
                                                         L"/selfstage:C:\\stage\\\\", L"/elevated", L""}));
}

TEST(RunOptionsTest, AnElevatedRunUpdatesOnlyItsOwnFolderAndTakesAManifestOrServerOnlyWhenSigned)
{
    // Command line, whether manifests are signed: refused?
    const std::tuple<const wchar_t*, bool, bool> cases[] = {
        {L"/elevated /installpath:C:\\App", false, false},
        {L"/ELEVATED /installpath:c:\\app\\sub\\..\\", false, false},
        {L"/elevated /installpath:C:\\Windows", true, true},
        {L"/elevated /installpath:C:\\App\\sub", false, true},
        {L"/installpath:C:\\Windows /manifestfile:C:\\m.xml", false, false},
        {L"/elevated /installpath:C:\\App /manifestfile:C:\\m.xml", false, true},
        {L"/elevated /installpath:C:\\App /serverurl:http://h/", false, true},
        {L"/elevated /installpath:C:\\App /manifestfile:C:\\m.xml /server:http://h/", true, false},
    };
    for (const auto& c : cases) {
        const std::wstring refusal = ElevatedRunRefusal(Parse(std::get<0>(c)), L"C:\\App", std::get<1>(c));
        EXPECT_EQ(!refusal.empty(), std::get<2>(c)) << std::get<0>(c) << L": " << refusal;
    }
}

} // namespace

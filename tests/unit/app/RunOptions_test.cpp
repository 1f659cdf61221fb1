#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/RunOptions.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

RunOptions Apply(const std::vector<std::wstring>& arguments)
{
    RunOptions options;
    ApplyArguments(options, arguments);
    return options;
}

RunOptions Parse(const std::wstring& tail)
{
    RunOptions options;
    ParseCommandLineText(L"\"C:\\App\\OrvUpdaterW7.exe\" " + tail, options);
    return options;
}

struct FlagCase {
    const wchar_t* argument;
    bool RunOptions::*field;
};

TEST(RunOptionsTest, EveryFlagSwitchInEachAcceptedSpelling)
{
    const FlagCase cases[] = {
        {L"/silent", &RunOptions::silent},           {L"/SILENT", &RunOptions::silent},
        {L"/Silent", &RunOptions::silent},           {L"-silent", &RunOptions::silent},
        {L"/headless", &RunOptions::silent},         {L"/autoinstall", &RunOptions::autoInstall},
        {L"-AutoInstall", &RunOptions::autoInstall}, {L"/checkonly", &RunOptions::checkOnly},
        {L"-checkonly", &RunOptions::checkOnly},     {L"/diagnostics", &RunOptions::diagnostics},
        {L"-diagnostics", &RunOptions::diagnostics}, {L"/selftest", &RunOptions::selfTest},
        {L"-selftest", &RunOptions::selfTest},       {L"/nolaunch", &RunOptions::noLaunch},
        {L"-nolaunch", &RunOptions::noLaunch},       {L"/dryrun", &RunOptions::dryRun},
        {L"-DRYRUN", &RunOptions::dryRun},           {L"/finishonly", &RunOptions::finishOnly},
        {L"/pendingreboot", &RunOptions::pendingReboot}, {L"/restartafter", &RunOptions::restartAfter},
        {L"/selfreplace", &RunOptions::selfReplace}, {L"/postselfupdate", &RunOptions::postSelfUpdate},
    };
    const bool RunOptions::*all[] = {&RunOptions::silent,        &RunOptions::autoInstall, &RunOptions::checkOnly,
                                     &RunOptions::diagnostics,   &RunOptions::selfTest,    &RunOptions::noLaunch,
                                     &RunOptions::dryRun,        &RunOptions::finishOnly,  &RunOptions::pendingReboot,
                                     &RunOptions::restartAfter,  &RunOptions::selfReplace, &RunOptions::postSelfUpdate};
    for (const FlagCase& c : cases) {
        const RunOptions options = Apply({c.argument});
        EXPECT_TRUE(options.*c.field) << c.argument;
        for (const bool RunOptions::*field : all) {
            const bool handOver = c.field == &RunOptions::selfReplace || c.field == &RunOptions::postSelfUpdate;
            if (field != c.field && !(handOver && field == &RunOptions::silent)) {
                EXPECT_FALSE(options.*field) << c.argument << " set another flag";
            }
        }
    }
}

TEST(RunOptionsTest, HandOverRunsAreAlwaysSilent)
{
    EXPECT_TRUE(Apply({L"/selfreplace"}).silent);
    EXPECT_TRUE(Apply({L"/PostSelfUpdate"}).silent);
    EXPECT_FALSE(Apply({L"/finishonly"}).silent);
}

TEST(RunOptionsTest, LookAlikesAndDashFormsWithoutOneChangeNothing)
{
    for (const wchar_t* argument : {L"--silent", L"silent", L"/silent ", L"/silentx", L"-finishonly", L"-headless",
                                    L"-selfreplace", L"-server:http://x/", L"/elevated", L"/made-up", L""}) {
        const RunOptions options = Apply({argument});
        EXPECT_FALSE(options.silent || options.finishOnly || options.selfReplace) << argument;
        EXPECT_TRUE(options.serverUrl.empty()) << argument;
        ASSERT_EQ(options.rawArguments.size(), 1u);
        EXPECT_EQ(options.rawArguments[0], argument);
    }
}

struct ValueCase {
    const wchar_t* argument;
    std::wstring RunOptions::*field;
    const wchar_t* expected;
};

TEST(RunOptionsTest, ValueSwitchesTrimAndAssign)
{
    const ValueCase cases[] = {
        {L"/installpath:C:\\A", &RunOptions::installPath, L"C:\\A"},
        {L"-INSTALLPATH: C:\\B ", &RunOptions::installPath, L"C:\\B"},
        {L"/server:http://h/x/", &RunOptions::serverUrl, L"http://h/x/"},
        {L"/ServerUrl:\thttps://h/ ", &RunOptions::serverUrl, L"https://h/"},
        {L"/product:KDS", &RunOptions::product, L"KDS"},
        {L"/prodid:2", &RunOptions::product, L"2"},
        {L"/manifestfile:m.xml", &RunOptions::manifestFile, L"m.xml"},
        {L"/source:s.exe", &RunOptions::source, L"s.exe"},
        {L"/target:t.exe", &RunOptions::target, L"t.exe"},
        {L"/selfbackup:b.exe", &RunOptions::selfBackup, L"b.exe"},
        {L"/selfstage:C:\\stage", &RunOptions::selfStage, L"C:\\stage"},
    };
    for (const ValueCase& c : cases) {
        EXPECT_EQ(Apply({c.argument}).*c.field, c.expected) << c.argument;
    }
}

TEST(RunOptionsTest, EmptyValuesAreSkippedAndLaterValuesWin)
{
    EXPECT_TRUE(Apply({L"/installpath:"}).installPath.empty());
    EXPECT_TRUE(Apply({L"/installpath:   "}).installPath.empty());
    EXPECT_EQ(Apply({L"/server:http://a/", L"/server:http://b/"}).serverUrl, L"http://b/");
    EXPECT_EQ(Apply({L"/server:http://a/", L"/serverurl:http://c/"}).serverUrl, L"http://c/");
    EXPECT_EQ(Apply({L"/server:http://a/", L"/server: "}).serverUrl, L"http://a/");
    EXPECT_EQ(Apply({L"/product:ORV", L"/prodid:1"}).product, L"1");
}

TEST(RunOptionsTest, WaitPidReadsLeadingDigits)
{
    const std::pair<const wchar_t*, uint32_t> cases[] = {
        {L"/waitpid:123", 123}, {L"/waitpid:123x", 123}, {L"/waitpid:abc", 0},
        {L"/waitpid: 77 ", 77}, {L"/WAITPID:4294967295", 4294967295u}, {L"/waitpid:", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Apply({c.first}).waitPid, c.second) << c.first;
    }
}

TEST(RunOptionsTest, ProductFallbackScansTheWholeLowerCasedLine)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"x.exe PRODID : 3", L"3"},
        {L"x.exe /prodid: 2", L"2"},
        {L"x.exe prodid:7", L""},
        {L"x.exe prodid:7 /installpath:C:\\v2\\app", L"2"},
        {L"x.exe prodid 1", L""},
        {L"x.exe /silent", L""},
        {L"x.exe ProdId:x0", L"0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindProductFallback(c.first), c.second) << c.first;
    }
}

TEST(RunOptionsTest, ParseCommandLineAppliesFallbackAndNormalisesPaths)
{
    TempDir dir;
    RunOptions options = Parse(L"PRODID : 3 /silent");
    EXPECT_EQ(options.product, L"3");
    EXPECT_TRUE(options.silent);
    EXPECT_EQ(options.installPath, GetModuleDirectory()) << "defaults to the executable's folder";

    options = Parse(L"/product:KDS prodid:1");
    EXPECT_EQ(options.product, L"KDS") << "the fall-back only fills an empty product";

    options = Parse(L"\"/installpath:" + dir.Path() + L"\\sub\\\\\"");
    EXPECT_EQ(options.installPath, dir / L"sub");
    EXPECT_EQ(Parse(L"/installpath:D:\\").installPath, L"D:\\");
    EXPECT_EQ(Parse(L"/installpath:D:\\App\\").installPath, L"D:\\App");
    EXPECT_EQ(Parse(L"\"/installpath:  \"").installPath, GetModuleDirectory());

    options = Parse(L"/manifestfile:rel\\m.xml /source:a\\..\\s.exe /target:C:\\t\\ /selfbackup:C:/b/x "
                    L"/selfstage:C:\\stage\\\\ /server:  http://h/  ");
    EXPECT_EQ(options.manifestFile, FullPath(L"rel\\m.xml"));
    EXPECT_EQ(options.source, FullPath(L"s.exe"));
    EXPECT_EQ(options.target, L"C:\\t");
    EXPECT_EQ(options.selfBackup, L"C:\\b\\x");
    EXPECT_EQ(options.selfStage, L"C:\\stage");
    EXPECT_TRUE(options.serverUrl.empty()) << "the blank splits the value into its own argument";
}

TEST(RunOptionsTest, RawArgumentsAreKeptVerbatimAndInOrder)
{
    const RunOptions options = Parse(L"/elevated \"/installpath:C:\\Program Files\\App\" /SILENT odd \"\"");
    const std::vector<std::wstring> expected = {L"/elevated", L"/installpath:C:\\Program Files\\App", L"/SILENT",
                                                L"odd", L""};
    EXPECT_EQ(options.rawArguments, expected);
    EXPECT_EQ(options.installPath, L"C:\\Program Files\\App");
    EXPECT_TRUE(options.silent);
}

TEST(RunOptionsTest, ParsingStartsFromDefaultsEveryTime)
{
    RunOptions options;
    options.silent = true;
    options.serverUrl = L"left over";
    options.rawArguments = {L"old"};
    ParseCommandLineText(L"x.exe /checkonly", options);
    EXPECT_FALSE(options.silent);
    EXPECT_TRUE(options.serverUrl.empty());
    EXPECT_EQ(options.rawArguments, std::vector<std::wstring>{L"/checkonly"});
    EXPECT_TRUE(options.checkOnly);
    EXPECT_EQ(options.waitPid, 0u);
}

} // namespace

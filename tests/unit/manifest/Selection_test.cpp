#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <type_traits>
#include <string>
#include <vector>

#include "log/TraceLog.h"
#include "manifest/Inventory.h"
#include "ManifestTestSupport.h"
#include "manifest/Selection.h"
#include "manifest/Version.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"

namespace {

void CopyFixture(const std::wstring& fixture, const std::wstring& target)
{
    std::wstring error;
    ASSERT_TRUE(CopyFileVerified(TestFixturePath(fixture), target, error)) << error;
}

struct DecisionCase {
    const wchar_t* local;
    bool installed;
    const wchar_t* installedVersion;
    const wchar_t* server;
    bool selected;
    const wchar_t* effective;
};

TEST(DecidePackageTest, SkipsOnlyPresentPackagesThatAreAtLeastTheServersVersion)
{
    const DecisionCase cases[] = {
        // The record says current and files are present.
        {L"2.0", true, L"1.0", L"2.0", false, L"2.0"},
        // No record: the installed version fills in.
        {L"", true, L"1.0", L"2.0", true, L"1.0"},
        {L"", true, L"2.0.0.0", L"2.0", false, L"2.0.0.0"},
        // Files removed: fetched again whatever the record says.
        {L"2.0", false, L"", L"2.0", true, L"2.0"},
        // An unparsable record with nothing installed.
        {L"abc", false, L"", L"1.0", true, L"abc"},
        {L"abc", true, L"0.0.0.0", L"1.0", true, L"0.0.0.0"},
        {L"abc", true, L"1.0.0.0", L"1.0", false, L"1.0.0.0"},
        // The newer of record and disk counts; no downgrades either way.
        {L"3.0", true, L"1.0", L"2.0", false, L"3.0"},
        {L"1.0", true, L"3.0", L"2.0", false, L"3.0"},
        {L"1.0", true, L"1.0", L"2.0", true, L"1.0"},
        {L"1.9", true, L"1.10", L"1.10", false, L"1.10"},
        // A present file without a version resource.
        {L"2.0", true, L"0.0.0.0", L"2.0", false, L"2.0"},
        {L"", true, L"0.0.0.0", L"2.0", true, L"0.0.0.0"},
        // Present, version unknown on disk: the record decides.
        {L"2.0", true, L"", L"2.0", false, L"2.0"},
        {L"", true, L"", L"2.0", true, L""},
        // Nothing known at all.
        {L"", false, L"", L"1.0", true, L""},
        // A server version that is no version is always selected.
        {L"1.0", true, L"1.0", L"x", true, L"1.0"},
        {L"1.0", true, L"1.0", L"", true, L"1.0"},
        // Usable means valid together with the server's version, so against
        // an invalid server version the installed one never fills in.
        {L"", true, L"1.0", L"x", true, L""},
    };
    for (const DecisionCase& c : cases) {
        const PackageDecision d = DecidePackage(c.local, c.installed, c.installedVersion, c.server);
        EXPECT_EQ(d.selected, c.selected) << c.local << L"/" << c.installed << L"/" << c.installedVersion << L"/"
                                          << c.server;
        EXPECT_EQ(d.effectiveVersion, c.effective) << c.local << L"/" << c.installedVersion << L"/" << c.server;
    }
}

struct InventoryCase {
    const wchar_t* package;
    bool installed;
    const wchar_t* version;
};

TEST(InventoryTest, AnswersByStemFromCandidatesAndOtherFiles)
{
    TempDir dir;
    // Leftovers only.
    WriteTestFile(dir / L"Left.zip", "zip");
    WriteTestFile(dir / L"Left.BAK", "bak");
    WriteTestFile(dir / L"Left.old", "old");
    // A file outside the table.
    WriteTestFile(dir / L"Text.txt", "text");
    // ".exe" comes before ".dll" in the table.
    CopyFixture(L"VersionStamp120.dll", dir / L"Both.dll");
    CopyFixture(L"VersionStamp110.dll", dir / L"Both.exe");
    // Files without a version resource.
    WriteTestFile(dir / L"Settings.json", "{}");
    WriteTestFile(dir / L"Data.mdb", std::string(512, '\0'));
    // A folder named like the stem, and a candidate that is a folder.
    CreateDirectories(dir / L"Tree");
    CreateDirectories(dir / L"Skip.exe");
    CopyFixture(L"VersionStamp120.dll", dir / L"Skip.dll");
    // Only reachable by the stem + ".*" search, with a version.
    CopyFixture(L"VersionStamp110.dll", dir / L"Plugin.v2.bin");
    // Dotted stems, and names that merely start like a stem.
    WriteTestFile(dir / L"Orvw.Lum.xml", "<x/>");
    WriteTestFile(dir / L"Apple.dll", "x");
    // The search passes over leftovers to the next file.
    WriteTestFile(dir / L"Mixed.bak", "bak");
    WriteTestFile(dir / L"Mixed.txt", "txt");

    const InventoryCase cases[] = {
        {L"Left.zip", false, L""},
        {L"Text.zip", true, L"0.0.0.0"},
        {L"Both.zip", true, L"1.1.0.0"},
        {L"both.ZIP", true, L"1.1.0.0"},
        {L"Settings.zip", true, L"0.0.0.0"},
        {L"Data.zip", true, L"0.0.0.0"},
        {L"Tree.zip", true, L""},
        {L"Skip.zip", true, L"1.2.0.0"},
        {L"Plugin.zip", true, L"1.1.0.0"},
        {L"Orvw.Lum.zip", true, L"0.0.0.0"},
        {L"App.zip", false, L""},
        {L"Mixed.zip", true, L"0.0.0.0"},
        // The updater's own package from a program that is not the updater.
        {L"OrvUpdater.zip", false, L""},
    };
    for (const InventoryCase& c : cases) {
        EXPECT_EQ(IsPackageInstalled(c.package, dir.Path()), c.installed) << c.package;
        EXPECT_EQ(GetInstalledVersion(c.package, dir.Path()), c.version) << c.package;
    }
    // A name that is all extension has no stem and names nothing.
    EXPECT_FALSE(IsPackageInstalled(L".zip", dir.Path()));
    EXPECT_FALSE(IsPackageInstalled(L"Both.zip", dir / L"missing"));
    EXPECT_EQ(GetInstalledVersion(L"Both.zip", dir / L"missing"), L"");
}

TEST(InventoryTest, SelfPackageNeedsTheUpdaterRunningFromTheInstallFolder)
{
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\OrvUpdaterW7.exe", true},
        {L"orvupdater.ZIP", L"c:\\inst\\", L"C:\\INST\\orvupdaterw7.EXE", true},
        {L"OrvUpdater.zip", L"C:\\Inst\\sub\\..", L"C:\\Inst\\OrvUpdaterW7.exe", true},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Other\\OrvUpdaterW7.exe", false},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\sub\\OrvUpdaterW7.exe", false},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\Setup.exe", false},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\OrvUpdaterW7.exe.bak", false},
        {L"OrvUpdaterW7.zip", L"C:\\Inst", L"C:\\Inst\\OrvUpdaterW7.exe", false},
        {L"Orvw_Lum.zip", L"C:\\Inst", L"C:\\Inst\\OrvUpdaterW7.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsUpdaterSelfPackage(std::get<0>(c), std::get<1>(c), std::get<2>(c)), std::get<3>(c))
            << std::get<0>(c) << L" " << std::get<1>(c) << L" " << std::get<2>(c);
    }
}

struct ModuleCloser {
    void operator()(HMODULE module) const { ::FreeLibrary(module); }
};

// Gives a copy of the probe program the version resource of a fixture
// library, so that the version it reports for itself is recognisable.
void CopyVersionResource(const std::wstring& fromLibrary, const std::wstring& toProgram)
{
    std::unique_ptr<std::remove_pointer<HMODULE>::type, ModuleCloser> module(
        ::LoadLibraryExW(fromLibrary.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    HRSRC found = ::FindResourceW(module.get(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    ASSERT_NE(found, nullptr);
    const DWORD size = ::SizeofResource(module.get(), found);
    const void* data = ::LockResource(::LoadResource(module.get(), found));
    ASSERT_NE(data, nullptr);
    std::vector<unsigned char> bytes(static_cast<const unsigned char*>(data),
                                     static_cast<const unsigned char*>(data) + size);
    HANDLE update = ::BeginUpdateResourceW(toProgram.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    const BOOL added = ::UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), bytes.data(), size);
    ASSERT_TRUE(::EndUpdateResourceW(update, added ? FALSE : TRUE));
    ASSERT_TRUE(added);
}

// Runs a probe program and returns "True|version" or "False|version".
std::string Probe(const std::wstring& program, const std::wstring& installFolder, const std::wstring& package,
                  const TempDir& scratch)
{
    const std::wstring result = scratch / L"probe-result.txt";
    DeleteFileIfPresent(result);
    const long code = RunAndWait(QuoteArgument(program) + L" " + QuoteArgument(installFolder) + L" " +
                                 QuoteArgument(package) + L" " + QuoteArgument(result));
    EXPECT_EQ(code, 0) << program;
    std::string text = ReadTestFile(result);
    const size_t lineEnd = text.find('\n');
    if (lineEnd != std::string::npos) {
        text[lineEnd] = '|';
    }
    return text;
}

TEST(InventoryTest, TheRunningUpdaterAnswersForItsOwnPackage)
{
    TempDir scratch;
    TempDir install;
    const std::wstring probe = TestToolPath(L"InventoryProbe.exe");
    const std::wstring updater = install / L"OrvUpdaterW7.exe";
    std::wstring error;
    ASSERT_TRUE(CopyFileVerified(probe, updater, error)) << error;
    CopyVersionResource(TestFixturePath(L"VersionStamp110.dll"), updater);
    ASSERT_EQ(GetFileVersionText(updater), L"1.1.0.0");

    // Nothing of the package in the folder: only the running updater counts.
    EXPECT_EQ(Probe(updater, install.Path(), L"OrvUpdater.zip", scratch), "True|1.1.0.0");
    EXPECT_EQ(Probe(updater, install.Path() + L"\\", L"ORVUPDATER.zip", scratch), "True|1.1.0.0");
    EXPECT_EQ(Probe(probe, install.Path(), L"OrvUpdater.zip", scratch), "False|");

    // A file of the package present: from inside the running updater still
    // answers, from outside the file does.
    CopyFixture(L"VersionStamp120.dll", install / L"OrvUpdater.dll");
    EXPECT_EQ(Probe(updater, install.Path(), L"OrvUpdater.zip", scratch), "True|1.1.0.0");
    EXPECT_EQ(Probe(probe, install.Path(), L"OrvUpdater.zip", scratch), "True|1.2.0.0");

    // Inside the folder under another name, the general rules apply.
    const std::wstring renamed = install / L"Helper.exe";
    ASSERT_TRUE(CopyFileVerified(updater, renamed, error)) << error;
    EXPECT_EQ(Probe(renamed, install.Path(), L"OrvUpdater.zip", scratch), "True|1.2.0.0");

    // Other packages follow the general rules; for "OrvUpdaterW7.zip" the
    // updater is simply the package's ".exe" candidate.
    EXPECT_EQ(Probe(updater, install.Path(), L"OrvUpdaterW7.zip", scratch), "True|1.1.0.0");
    EXPECT_EQ(Probe(updater, install.Path(), L"Other.zip", scratch), "False|");
}

// Collects the progress calls of one selection.
struct ProgressRecord {
    std::vector<std::wstring> calls;
    SelectionProgress Callbacks()
    {
        SelectionProgress progress;
        progress.setStatus = [this](const std::wstring& text) { calls.push_back(L"status " + text); };
        progress.setDetail = [this](const std::wstring& text) { calls.push_back(L"detail " + text); };
        progress.setOverallProgress = [this](int32_t done, int32_t total) {
            calls.push_back(L"overall " + std::to_wstring(done) + L"/" + std::to_wstring(total));
        };
        return progress;
    }
};

// The messages of the log's INFO lines.
std::vector<std::wstring> LogMessages(const TraceLog& log)
{
    const std::wstring text = Utf8ToWide(ReadTestFile(log.path));
    std::vector<std::wstring> messages;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const std::wstring line = text.substr(start, end - start);
        size_t field = 0;
        for (int i = 0; i < 3 && field != std::wstring::npos; ++i) {
            field = line.find(L" | ", field == 0 ? 0 : field + 3);
        }
        if (field != std::wstring::npos && line.rfind(L"INFO | ", 0) == 0) {
            messages.push_back(line.substr(field + 3));
        }
        start = end + 2;
    }
    return messages;
}

TEST(SelectPackagesTest, ComparesRecordDiskAndServerForEveryPackage)
{
    TempDir install;
    TempDir logFolder;
    CopyFixture(L"VersionStamp120.dll", install / L"Cur.dll");
    CopyFixture(L"VersionStamp110.dll", install / L"Old.exe");
    WriteTestFile(install / L"Bad.json", "{}");
    WriteTestFile(install / L"Ahead.json", "{}");
    WriteTestFile(install / L"Gone.zip", "only the download is left");

    PackageList server;
    SetEntry(server, Entry(L"Cur.zip", L"1.2"));
    SetEntry(server, Entry(L"Old.zip", L"1.2", true));
    SetEntry(server, Entry(L"Gone.zip", L"2.0"));
    SetEntry(server, Entry(L"New.zip", L"1.0"));
    SetEntry(server, Entry(L"Bad.zip", L"x.y"));
    SetEntry(server, Entry(L"Ahead.zip", L"3.0", true));
    PackageList local;
    SetEntry(local, Entry(L"cur.ZIP", L"1.0"));
    SetEntry(local, Entry(L"Gone.zip", L"2.0"));
    SetEntry(local, Entry(L"AHEAD.ZIP", L"9.0"));
    SetEntry(local, Entry(L"Unlisted.zip", L"1.0"));

    TraceLog log;
    log.Open(logFolder.Path());
    ProgressRecord progress;
    const PackageList selected = SelectPackagesWithProgress(server, local, install.Path(), log, progress.Callbacks());

    EXPECT_EQ(Describe(selected), (std::vector<std::wstring>{L"Old.zip=1.2 !", L"Gone.zip=2.0", L"New.zip=1.0", L"Bad.zip=x.y"}));

    const std::vector<std::wstring> messages = LogMessages(log);
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[0].rfind(L"Session start", 0), 0u);
    EXPECT_EQ(std::vector<std::wstring>(messages.begin() + 1, messages.end()),
              (std::vector<std::wstring>{
                  L"Package current | File=Cur.zip | Local=1.2.0.0 | Server=1.2",
                  L"Package selected | File=Old.zip | Local=1.1.0.0 | Server=1.2 | Installed=True",
                  L"Package selected | File=Gone.zip | Local=2.0 | Server=2.0 | Installed=False",
                  L"Package selected | File=New.zip | Local=<missing> | Server=1.0 | Installed=False",
                  L"Package selected | File=Bad.zip | Local=<missing> | Server=x.y | Installed=True",
                  L"Package current | File=Ahead.zip | Local=9.0 | Server=3.0",
              }));

    std::vector<std::wstring> expectedCalls;
    const wchar_t* const order[] = {L"Cur.zip", L"Old.zip", L"Gone.zip", L"New.zip", L"Bad.zip", L"Ahead.zip"};
    for (int i = 0; i < 6; ++i) {
        expectedCalls.push_back(L"status Checking installed files (" + std::to_wstring(i + 1) + L" of 6)...");
        expectedCalls.push_back(std::wstring(L"detail ") + order[i]);
        expectedCalls.push_back(L"overall " + std::to_wstring(i) + L"/6");
    }
    expectedCalls.push_back(L"overall 6/6");
    EXPECT_EQ(progress.calls, expectedCalls);
}

TEST(SelectPackagesTest, AnEmptyServerListOnlyMovesTheBar)
{
    TempDir install;
    TempDir logFolder;
    WriteTestFile(install / L"App.exe", "x");
    PackageList local;
    SetEntry(local, Entry(L"App.zip", L"1.0"));
    TraceLog log;
    log.Open(logFolder.Path());
    ProgressRecord progress;
    const PackageList selected =
        SelectPackagesWithProgress(PackageList(), local, install.Path(), log, progress.Callbacks());
    EXPECT_TRUE(selected.empty());
    EXPECT_EQ(progress.calls, (std::vector<std::wstring>{L"overall 0/0"}));
    EXPECT_EQ(LogMessages(log).size(), 1u);

    // Missing callbacks are simply not called.
    PackageList server;
    SetEntry(server, Entry(L"App.zip", L"2.0"));
    EXPECT_EQ(SelectPackagesWithProgress(server, local, install.Path(), log, SelectionProgress()).size(), 1u);
}

TEST(SelectPackagesTest, ReportsToTheRunsWindow)
{
    TempDir install;
    TempDir logFolder;
    CopyFixture(L"VersionStamp120.dll", install / L"Cur.dll");
    PackageList server;
    SetEntry(server, Entry(L"Cur.zip", L"1.2"));
    SetEntry(server, Entry(L"New.zip", L"1.0"));
    TraceLog log;
    log.Open(logFolder.Path());
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());

    const PackageList selected = SelectPackages(server, PackageList(), install.Path(), log, window);
    EXPECT_EQ(Describe(selected), std::vector<std::wstring>{L"New.zip=1.0"});
    wchar_t text[256] = {};
    ::GetWindowTextW(window.statusText, text, 256);
    EXPECT_STREQ(text, L"Checking installed files (2 of 2)...");
    ::GetWindowTextW(window.detailText, text, 256);
    EXPECT_STREQ(text, L"New.zip");
    EXPECT_EQ(::SendMessageW(window.overallBar, PBM_GETPOS, 0, 0), 1000);

    ProgressWindow silent(true);
    EXPECT_EQ(SelectPackages(server, PackageList(), install.Path(), log, silent).size(), 1u);
}

} // namespace

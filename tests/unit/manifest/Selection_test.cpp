#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ManifestTestSupport.h"
#include "manifest/Inventory.h"
#include "manifest/Selection.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

void CopyFixture(const std::wstring& fixture, const std::wstring& target)
{
    std::wstring error;
    ASSERT_TRUE(CopyFileVerified(TestFixturePath(fixture), target, error)) << error;
}

TEST(DecidePackageTest, SkipsOnlyPresentPackagesThatAreAtLeastTheServersVersion)
{
    const struct {
        const wchar_t* local;
        bool installed;
        const wchar_t* installedVersion;
        const wchar_t* server;
        bool selected;
        const wchar_t* effective;
    } cases[] = {
        {L"2.0", true, L"1.0", L"2.0", false, L"2.0"},
        // No record, or an unparsable one: the installed version fills in.
        {L"", true, L"1.0", L"2.0", true, L"1.0"},
        {L"abc", true, L"1.0.0.0", L"1.0", false, L"1.0.0.0"},
        // Files removed: fetched again whatever the record says.
        {L"2.0", false, L"", L"2.0", true, L"2.0"},
        // The newer of record and disk counts; no downgrades either way.
        {L"3.0", true, L"1.0", L"2.0", false, L"3.0"},
        {L"1.9", true, L"1.10", L"1.10", false, L"1.10"},
        // Present with nothing readable on disk: the record decides.
        {L"2.0", true, L"", L"2.0", false, L"2.0"},
        {L"", true, L"", L"2.0", true, L""},
        // A server version that is no version is always selected, and then
        // the installed one never fills in.
        {L"1.0", true, L"1.0", L"x", true, L"1.0"},
        {L"", true, L"1.0", L"x", true, L""},
    };
    for (const auto& c : cases) {
        const PackageDecision d = DecidePackage(c.local, c.installed, c.installedVersion, c.server);
        EXPECT_EQ(d.selected, c.selected) << c.local << L"/" << c.installedVersion << L"/" << c.server;
        EXPECT_EQ(d.effectiveVersion, c.effective) << c.local << L"/" << c.installedVersion << L"/" << c.server;
    }
}

TEST(InventoryTest, PackagesAreFoundByStemAmongCandidatesThenOtherFiles)
{
    TempDir dir;
    for (const wchar_t* name : {L"Left.zip", L"Left.BAK", L"Left.old", L"Text.txt", L"Mixed.bak", L"Mixed.txt",
                                L"Orvw.Lum.xml", L"Apple.dll"}) {
        WriteTestFile(dir / name, "x");
    }
    CopyFixture(L"VersionStamp120.dll", dir / L"Both.dll");
    CopyFixture(L"VersionStamp110.dll", dir / L"Both.exe"); // ".exe" comes before ".dll"
    CreateDirectories(dir / L"Tree");
    CreateDirectories(dir / L"Skip.exe"); // a candidate that is a folder
    CopyFixture(L"VersionStamp120.dll", dir / L"Skip.dll");
    CopyFixture(L"VersionStamp110.dll", dir / L"Plugin.v2.bin");
    const std::tuple<const wchar_t*, bool, const wchar_t*> cases[] = {
        // Downloads, replaced files and backups say nothing about what is installed.
        {L"Left.zip", false, L""},
        {L"Text.zip", true, L"0.0.0.0"},
        {L"both.ZIP", true, L"1.1.0.0"},
        {L"Tree.zip", true, L""},
        {L"Skip.zip", true, L"1.2.0.0"},
        {L"Plugin.zip", true, L"1.1.0.0"},
        {L"Orvw.Lum.zip", true, L"0.0.0.0"},
        {L"Mixed.zip", true, L"0.0.0.0"},
        {L"App.zip", false, L""},
        {L".zip", false, L""},
        // The updater's own package, asked by a program that is not the updater.
        {L"OrvUpdater.zip", false, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPackageInstalled(std::get<0>(c), dir.Path()), std::get<1>(c)) << std::get<0>(c);
        EXPECT_EQ(GetInstalledVersion(std::get<0>(c), dir.Path()), std::get<2>(c)) << std::get<0>(c);
    }
}

TEST(InventoryTest, TheUpdatersOwnPackageIsTheRunningUpdaterInTheInstallFolder)
{
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"orvupdater.ZIP", L"c:\\inst\\", L"C:\\INST\\orvupdaterw7.EXE", true},
        {L"OrvUpdater.zip", L"C:\\Inst\\sub\\..", L"C:\\Inst\\OrvUpdaterW7.exe", true},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\sub\\OrvUpdaterW7.exe", false},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\Setup.exe", false},
        {L"OrvUpdaterW7.zip", L"C:\\Inst", L"C:\\Inst\\OrvUpdaterW7.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsUpdaterSelfPackage(std::get<0>(c), std::get<1>(c), std::get<2>(c)), std::get<3>(c))
            << std::get<0>(c) << L" " << std::get<1>(c) << L" " << std::get<2>(c);
    }
}

} // namespace

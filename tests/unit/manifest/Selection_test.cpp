#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "manifest/Inventory.h"
#include "manifest/Selection.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

using namespace orv;

TEST(DecidePackageTest, SkipsOnlyPresentPackagesThatAreAtLeastTheServersVersion)
{
    // local record, installed, installed version, server version: selected, effective version
    const std::tuple<const wchar_t*, bool, const wchar_t*, const wchar_t*, bool, const wchar_t*> cases[] = {
        {L"2.0", true, L"1.0", L"2.0", false, L"2.0"},
        // No record, or an unparsable one: the installed version fills in.
        {L"", true, L"1.0", L"2.0", true, L"1.0"}, {L"abc", true, L"1.0.0.0", L"1.0", false, L"1.0.0.0"},
        // Files removed: fetched again whatever the record says.
        {L"2.0", false, L"", L"2.0", true, L"2.0"},
        // The newer of record and disk counts; no downgrades either way.
        {L"3.0", true, L"1.0", L"2.0", false, L"3.0"}, {L"1.9", true, L"1.10", L"1.10", false, L"1.10"},
        // Present with nothing readable on disk: the record decides.
        {L"2.0", true, L"", L"2.0", false, L"2.0"}, {L"", true, L"", L"2.0", true, L""},
        // A server version that is no version is always selected, and then
        // the installed one never fills in.
        {L"1.0", true, L"1.0", L"x", true, L"1.0"}, {L"", true, L"1.0", L"x", true, L""},
    };
    for (const auto& c : cases) {
        const PackageDecision d = DecidePackage(std::get<0>(c), std::get<1>(c), std::get<2>(c), std::get<3>(c));
        const std::pair<bool, std::wstring> expected(std::get<4>(c), std::get<5>(c));
        EXPECT_EQ(std::make_pair(d.selected, d.effectiveVersion), expected)
            << std::get<0>(c) << L"/" << std::get<2>(c) << L"/" << std::get<3>(c);
    }
}

TEST(InventoryTest, PackagesAreFoundByStemAmongCandidatesThenOtherFiles)
{
    TempDir dir;
    for (const wchar_t* name : {L"Left.zip", L"Left.BAK", L"Left.old", L"Text.txt", L"Mixed.bak", L"Mixed.txt",
                                L"Orvw.Lum.xml", L"Apple.dll"}) {
        WriteTestFile(dir / name, "x");
    }
    WriteTestFile(dir / L"Fake.exe", "MZ this is not a portable executable");
    // ".exe" comes before ".dll"; a candidate that is a folder does not count.
    const std::pair<const wchar_t*, const wchar_t*> stamped[] = {
        {L"VersionStamp120.dll", L"Both.dll"}, {L"VersionStamp110.dll", L"Both.exe"},
        {L"VersionStamp120.dll", L"Skip.dll"}, {L"VersionStamp110.dll", L"Plugin.v2.bin"},
        {L"VersionStampSplit.dll", L"Split.dll"}};
    for (const auto& s : stamped) {
        std::wstring error;
        const std::wstring fixture = JoinPath(TestEnvPath("ORV_TEST_FIXTURES_DIR"), s.first);
        ASSERT_TRUE(CopyFileVerified(fixture, dir / s.second, error)) << error;
    }
    CreateDirectories(dir / L"Tree");
    CreateDirectories(dir / L"Skip.exe");
    const std::tuple<const wchar_t*, bool, const wchar_t*> cases[] = {
        // Downloads, replaced files and backups say nothing about what is installed.
        {L"Left.zip", false, L""},         {L"Text.zip", true, L"0.0.0.0"},     {L"both.ZIP", true, L"1.1.0.0"},
        {L"Tree.zip", true, L""},          {L"Skip.zip", true, L"1.2.0.0"},     {L"Plugin.zip", true, L"1.1.0.0"},
        {L"Orvw.Lum.zip", true, L"0.0.0.0"}, {L"Mixed.zip", true, L"0.0.0.0"},  {L"App.zip", false, L""},
        {L".zip", false, L""},
        // A device is never opened (reading NUL.exe's version would block).
        {L"NUL.zip", false, L""},
        // The file version, not the product version (9.8.7.6), each 16-bit half in its place.
        {L"Split.zip", true, L"65535.0.300.7"}, {L"Fake.zip", true, L"0.0.0.0"},
        // The updater's own package, asked by a program that is not the updater.
        {L"OrvUpdater.zip", false, L""},
    };
    const auto folder = FileSystemFolderView(dir.Path());
    for (const auto& c : cases) {
        const InstalledPackage found = FindInstalledPackage(std::get<0>(c), *folder);
        const std::pair<bool, std::wstring> expected(std::get<1>(c), std::get<2>(c));
        EXPECT_EQ(std::make_pair(found.installed, found.version), expected) << std::get<0>(c);
    }
    // The updater's own package is the running updater in the install folder.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, bool> self[] = {
        {L"orvupdater.ZIP", L"c:\\inst\\", L"C:\\INST\\orvupdaterw7.EXE", true},
        {L"OrvUpdater.zip", L"C:\\Inst\\sub\\..", L"C:\\Inst\\OrvUpdaterW7.exe", true},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\sub\\OrvUpdaterW7.exe", false},
        {L"OrvUpdater.zip", L"C:\\Inst", L"C:\\Inst\\Setup.exe", false},
        {L"OrvUpdaterW7.zip", L"C:\\Inst", L"C:\\Inst\\OrvUpdaterW7.exe", false},
    };
    for (const auto& c : self) {
        EXPECT_EQ(IsUpdaterSelfPackage(std::get<0>(c), std::get<1>(c), std::get<2>(c)), std::get<3>(c))
            << std::get<0>(c) << L" " << std::get<1>(c) << L" " << std::get<2>(c);
    }
}

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "install/Installer.h"

using namespace orv;

TEST(InstallerTest, DatabaseNamesDatedBackupFoldersAndTheUpdatersOwnExecutable)
{
    const std::pair<const wchar_t*, bool> names[] = {
        {L"orvMain.ACCDB", true}, {L"orvArchive.mdb", true}, {L"ORV.mdb", true}, {L"orv.accdb", true},
        {L"orvnotes.mdbx", false}, {L"main.accdb", false}, {L"xorv.mdb", false}, {L"orv.accdb.bak", false},
        {L"orvdata.ldb", false}, {L"or.mdb", false}, {L"", false},
    };
    for (const auto& c : names) {
        EXPECT_EQ(IsDatabaseFileName(c.first), c.second) << c.first;
    }
    EXPECT_EQ(BackupFolderName(2031, 11, 30, 12), L"Tarn2031113012");
    EXPECT_EQ(BackupFolderName(999, 1, 2, 0), L"Tarn09990102");
    const std::pair<const wchar_t*, bool> updaterNames[] = {
        {L"OrvUpdater.exe", true}, {L"C:\\App\\ORVUPDATERW7.EXE", true}, {L"pkg/orvupdater.exe", true},
        {L"OrvUpdaterW7.exe.orv-new-12", false}, {L"OrvUpdaterW7-12-34.exe", false}, {L"OrvUpdaterW7.exe\\", false},
        {L"orvupdaterw7.ex", false}, {L"", false},
    };
    for (const auto& c : updaterNames) {
        EXPECT_EQ(orv::IsUpdaterExecutableName(c.first), c.second) << c.first;
    }
    const std::tuple<const wchar_t*, const wchar_t*, bool> versions[] = {
        {L"27.0.0.5", L"27.0.0.4", true}, {L"27.0.0.4", L"27.0.0.4", false}, {L"27.0.0.3", L"27.0.0.4", false},
        {L"", L"27.0.0.4", true},         {L"27.0.0.5", L"", true},          {L"not a version", L"1.0", true},
    };
    for (const auto& c : versions) {
        EXPECT_EQ(IncomingUpdaterMayReplace(std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << std::get<0>(c);
    }
}

TEST(InstallerTest, OnlyACopyThatAPendingMoveNamesWaitsForTheRestart)
{
    // A pending delete (an empty target) first, then a move of a staged copy.
    const wchar_t raw[] = L"\\??\\C:\\Temp\\x.tmp\0\0\\??\\C:\\App\\.orvw7-reboot-pending\\12-34-A.dll\0"
                          L"\\??\\C:\\App\\a.dll\0\0";
    const std::vector<std::wstring> moves = SplitMultiString(std::wstring(raw, sizeof(raw) / sizeof(raw[0]) - 1));
    EXPECT_EQ(moves, (std::vector<std::wstring>{L"\\??\\C:\\Temp\\x.tmp",
                                                L"\\??\\C:\\App\\.orvw7-reboot-pending\\12-34-A.dll",
                                                L"\\??\\C:\\App\\a.dll"}));
    EXPECT_TRUE(SplitMultiString(L"").empty());
    const std::pair<const wchar_t*, bool> names[] = {
        {L"12-34-a.dll", true}, {L"12-35-a.dll", false}, {L"34-a.dll", false}, {L"", false}};
    for (const auto& c : names) {
        EXPECT_EQ(IsMovedAtRestart(c.first, moves), c.second) << c.first;
    }
}

TEST(InstallerTest, OnlyTheTargetsOwnSideFilesAreItsLeftOnes)
{
    // Whatever the listing finds for another name must neither be removed
    // nor keep the side file of this run from being skipped.
    const std::vector<std::wstring> listed = {
        L"a.dll.orv-new-12", L"A.DLL.ORV-NEW-7", L"b.dll.orv-new-1", L"aa.dll.orv-new-3",
        L"a.dll.x.orv-new-4", L"a.orv-new-5", L"a.dll.orv-new", L"a.dll",
    };
    EXPECT_EQ(SideFilesOf(listed, L"a.dll"), (std::vector<std::wstring>{L"a.dll.orv-new-12", L"A.DLL.ORV-NEW-7"}));
    EXPECT_EQ(SideFilesOf(listed, L"a"), std::vector<std::wstring>{L"a.orv-new-5"});
    EXPECT_TRUE(SideFilesOf(listed, L"c.dll").empty());
}

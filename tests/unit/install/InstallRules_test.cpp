#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "install/Installer.h"
#include "install/Processes.h"

using namespace orv;

TEST(ProcessRulesTest, NamesCompareByWholeStemAndOnlySuiteOrInstallFolderProgramsAreStopped)
{
    const struct {
        const wchar_t* name;
        bool isProtected;
        bool isApplication;
    } cases[] = {
        {L"explorer.exe", true, false}, {L"C:\\Windows\\EXPLORER.EXE", true, false}, {L"svchost", true, false},
        {L"taskhostw.exe", true, false}, {L"OrvUpdaterW7.exe", true, false}, {L"Z:\\Apps\\orvupdater.exe", true, false},
        {L"orvw_lum.exe", false, true}, {L"ORVW_LUM.EXE", false, true}, {L"C:\\Suite\\KDS_Lum.exe", false, true},
        {L"rjks.exe", false, true}, {L"orvlocalupdatevalidator.exe", false, true},
        {L"orvlocalupdaternet4.exe", false, true}, {L"orvw_lum2.exe", false, false},
        {L"orvw_lum.exe.bak", false, false}, {L"orvlocalupdatevalidato.exe", false, false},
        {L"orvupdaterw7x.exe", false, false}, {L"lum.exe", false, false}, {L"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsProtectedProcessName(c.name), c.isProtected) << c.name;
        EXPECT_EQ(IsApplicationProcessName(c.name), c.isApplication) << c.name;
    }
    // Lock holders come from the Restart Manager, which Wine only imitates: the
    // policy is proven here on its own.
    const wchar_t* const orv = L"C:\\Program Files\\Orv";
    const std::tuple<const wchar_t*, const wchar_t*, bool> holders[] = {
        {L"C:\\Windows\\explorer.exe", orv, false}, {L"C:\\Program Files\\Orv\\explorer.exe", orv, false},
        {L"C:\\Program Files\\Orv\\OrvUpdaterW7.exe", orv, false}, {L"C:\\Elsewhere\\orvw_lum.exe", orv, true},
        {L"c:\\program files\\ORV\\Tools\\Deep\\ReportViewer.exe", orv, true},
        {L"C:\\Program Files\\Orv2\\ReportViewer.exe", orv, false}, {L"C:\\Program Files\\Orv", orv, false},
        {L"C:\\Vendor\\backup-agent.exe", orv, false}, {L"", orv, false},
        // A drive root as the install folder, and none at all.
        {L"D:\\main.exe", L"D:\\", true}, {L"C:\\App\\main.exe", L"", false},
    };
    for (const auto& c : holders) {
        EXPECT_EQ(MayStopLockHolder(LockHolder{4242, std::get<0>(c)}, std::get<1>(c)), std::get<2>(c)) << std::get<0>(c);
    }
}

TEST(InstallRulesTest, DatabaseNamesDatedBackupFoldersAndTheUpdatersOwnExecutable)
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

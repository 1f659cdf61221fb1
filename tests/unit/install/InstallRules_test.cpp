#include <gtest/gtest.h>

#include <string>

#include "install/InstallRules.h"
#include "install/Installer.h"
#include "install/ProcessRules.h"
#include "install/Processes.h"
#include "support/TestSupport.h"

namespace {

TEST(ProcessRulesTest, NamesCompareByWholeStemInAnyCase)
{
    struct Case {
        const wchar_t* name;
        bool isProtected;
        bool isApplication;
    };
    const Case cases[] = {
        {L"explorer.exe", true, false},
        {L"C:\\Windows\\EXPLORER.EXE", true, false},
        {L"svchost", true, false},
        {L"taskhostw.exe", true, false},
        {L"OrvUpdaterW7.exe", true, false},
        {L"Z:\\Apps\\orvupdater.exe", true, false},
        {L"orvw_lum.exe", false, true},
        {L"ORVW_LUM.EXE", false, true},
        {L"C:\\Suite\\KDS_Lum.exe", false, true},
        {L"rjks.exe", false, true},
        {L"orvlocalupdatevalidator.exe", false, true},
        {L"orvlocalupdaternet4.exe", false, true},
        {L"orvw_lum2.exe", false, false},
        {L"orvw_lum.exe.bak", false, false},
        {L"orvlocalupdatevalidato.exe", false, false},
        {L"orvupdaterw7x.exe", false, false},
        {L"lum.exe", false, false},
        {L"", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsProtectedProcessName(c.name), c.isProtected) << c.name;
        EXPECT_EQ(IsApplicationProcessName(c.name), c.isApplication) << c.name;
    }
}

TEST(ProcessRulesTest, BelowInstallFolderMeansInsideItNotBesideIt)
{
    struct Case {
        const wchar_t* image;
        const wchar_t* folder;
        bool below;
    };
    const Case cases[] = {
        {L"C:\\App\\main.exe", L"C:\\App", true},
        {L"c:\\app\\Tools\\Deep\\X.EXE", L"C:\\App\\", true},
        {L"C:\\App2\\main.exe", L"C:\\App", false},
        {L"C:\\Apps\\main.exe", L"C:\\App\\", false},
        {L"C:\\App", L"C:\\App", false},
        {L"", L"C:\\App", false},
        {L"C:\\App\\main.exe", L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsBelowInstallFolder(c.image, c.folder), c.below) << c.image << L" in " << c.folder;
    }
}

TEST(ProcessRulesTest, OnlySuiteProgramsAndProgramsFromTheInstallFolderAreStopped)
{
    const std::wstring install = L"C:\\Program Files\\Orv";
    struct Case {
        const wchar_t* image;
        bool mayStop;
    };
    const Case cases[] = {
        {L"C:\\Windows\\explorer.exe", false},
        {L"C:\\Program Files\\Orv\\explorer.exe", false},
        {L"C:\\Program Files\\Orv\\OrvUpdaterW7.exe", false},
        {L"C:\\Elsewhere\\orvw_lum.exe", true},
        {L"C:\\Program Files\\Orv\\Tools\\ReportViewer.exe", true},
        {L"C:\\Program Files\\Orv2\\ReportViewer.exe", false},
        {L"C:\\Vendor\\backup-agent.exe", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MayStopLockHolder(LockHolder{4242, c.image}, install), c.mayStop) << c.image;
    }
}

TEST(InstallRulesTest, DatabaseNamesAndDatedBackupFolders)
{
    for (const wchar_t* name : {L"orvMain.ACCDB", L"orvArchive.mdb", L"ORV.mdb", L"orv.accdb"}) {
        EXPECT_TRUE(IsDatabaseFileName(name)) << name;
    }
    for (const wchar_t* name : {L"orvnotes.mdbx", L"main.accdb", L"xorv.mdb", L"orv.accdb.bak", L"orvdata.ldb",
                                L"or.mdb", L""}) {
        EXPECT_FALSE(IsDatabaseFileName(name)) << name;
    }
    EXPECT_EQ(BackupFolderName(2026, 12, 4, 0), L"Tarn20261204");
    EXPECT_EQ(BackupFolderName(2026, 12, 4, 1), L"Tarn202612041");
    EXPECT_EQ(BackupFolderName(2031, 11, 30, 12), L"Tarn2031113012");
    EXPECT_EQ(BackupFolderName(999, 1, 2, 999), L"Tarn09990102999");
}

TEST(InstallRulesTest, UpdaterExecutableRouting)
{
    for (const wchar_t* path : {L"OrvUpdater.exe", L"C:\\App\\ORVUPDATERW7.EXE", L"pkg/orvupdater.exe"}) {
        EXPECT_TRUE(orv::IsUpdaterExecutableName(path)) << path;
    }
    for (const wchar_t* path : {L"OrvUpdaterW7.exe.orv-new-12", L"OrvUpdaterW7-12-34.exe", L"OrvUpdaterW7.exe\\",
                                L"orvupdaterw7.ex", L""}) {
        EXPECT_FALSE(orv::IsUpdaterExecutableName(path)) << path;
    }
    struct Case {
        const wchar_t* incoming;
        const wchar_t* installed;
        bool mayReplace;
    };
    const Case cases[] = {
        {L"27.0.0.5", L"27.0.0.4", true},
        {L"27.0.0.4", L"27.0.0.4", false},
        {L"27.0.0.3", L"27.0.0.4", false},
        {L"", L"27.0.0.4", true},
        {L"27.0.0.5", L"", true},
        {L"not a version", L"1.0", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IncomingUpdaterMayReplace(c.incoming, c.installed), c.mayReplace) << c.incoming << L" over "
                                                                                    << c.installed;
    }
}

TEST(InstallRulesTest, RelativePathsBelowTheSourceAndTheInstallFolder)
{
    EXPECT_EQ(RelativeToRoot(L"C:\\x\\extract\\bin\\a.dll", L"C:\\x\\extract"), L"bin\\a.dll");
    EXPECT_EQ(RelativeToRoot(L"C:\\x\\extract\\\\/a.dll", L"C:\\x\\extract"), L"a.dll");
    EXPECT_EQ(RelativeToRoot(L"C:\\x\\extract\\a.dll", L"C:\\x\\extract\\"), L"a.dll");
    EXPECT_EQ(RelativeToInstallFolder(L"c:\\app\\Data\\orv.mdb", L"C:\\App"), L"Data\\orv.mdb");
    EXPECT_EQ(RelativeToInstallFolder(L"C:\\App\\main.exe", L"C:\\App\\"), L"main.exe");
    EXPECT_EQ(RelativeToInstallFolder(L"C:\\App2\\main.exe", L"C:\\App"), L"");
    EXPECT_EQ(RelativeToInstallFolder(L"C:\\App", L"C:\\App"), L"");
}

// Nobody holds a fresh file, so the Restart Manager must answer with no
// holder at all rather than a made-up one.
TEST(LockHoldersTest, AFileNobodyHoldsHasNoHolders)
{
    TempDir dir;
    WriteTestFile(dir / L"free.dll", "free");
    EXPECT_TRUE(FindLockHolders(dir / L"free.dll").empty());
}

} // namespace

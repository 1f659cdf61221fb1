#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "install/Processes.h"

using namespace orv;

TEST(ProcessesTest, NamesCompareByWholeStemAndOnlySuiteOrInstallFolderProgramsAreStopped)
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

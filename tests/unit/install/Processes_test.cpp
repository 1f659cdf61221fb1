#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "install/Processes.h"

using namespace orv;

TEST(ProcessesTest, NamesCompareByWholeStemAndOnlyThisSessionsInstallFolderProgramsAreStopped)
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
    // Lock holders come from the Restart Manager, which Wine only imitates, and
    // Wine has one session: the policy is proven here on its own.
    const wchar_t* const orv = L"C:\\Program Files\\Orv";
    const auto stop = StopVerdict::Stop, other = StopVerdict::OtherSession, away = StopVerdict::OutsideInstallFolder;
    const std::tuple<const wchar_t*, const wchar_t*, bool, StopVerdict> holders[] = {
        {L"C:\\Windows\\explorer.exe", orv, true, StopVerdict::Protected},
        {L"C:\\Program Files\\Orv\\explorer.exe", orv, true, StopVerdict::Protected},
        {L"C:\\Program Files\\Orv\\OrvUpdaterW7.exe", orv, false, StopVerdict::Protected},
        {L"C:\\Elsewhere\\orvw_lum.exe", orv, true, away}, {L"C:\\Program Files\\Orv\\orvw_lum.exe", orv, true, stop},
        {L"C:\\Program Files\\Orv\\orvw_lum.exe", orv, false, other},
        {L"c:\\program files\\ORV\\Tools\\Deep\\ReportViewer.exe", orv, true, stop},
        {L"C:\\Program Files\\Orv2\\ReportViewer.exe", orv, true, away}, {L"C:\\Program Files\\Orv", orv, true, away},
        {L"C:\\Vendor\\backup-agent.exe", orv, false, other}, {L"", orv, true, away},
        // A drive root as the install folder, and none at all.
        {L"D:\\main.exe", L"D:\\", true, stop}, {L"C:\\App\\main.exe", L"", true, away},
    };
    for (const auto& c : holders) {
        const LockHolder holder{4242, std::get<0>(c), std::get<2>(c)};
        EXPECT_EQ(JudgeProcess(holder, std::get<1>(c)), std::get<3>(c)) << std::get<0>(c);
        EXPECT_EQ(LeftRunningText(std::get<3>(c), holder).empty(), std::get<3>(c) == stop || std::get<3>(c) ==
                                                                      StopVerdict::Protected) << std::get<0>(c);
    }
}

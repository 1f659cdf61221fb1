// What the install folder's guard lets a run touch, against links planted in
// the tree (made by setup.sh; Windows and Wine both report them through the
// real path of what is opened).
#include <gtest/gtest.h>

#include <tuple>

#include "install/InstallFolderGuard.h"
#include "install/Installer.h"
#include "support/TestSupport.h"

TEST(InstallFolderGuardTest, OnlyPathsThatStayInsideTheTreePass)
{
    const std::wstring data = JoinPath(TestEnvPath("ORV_TEST_DATA_DIR"), L"guard");
    const std::wstring install = JoinPath(data, L"install");
    ASSERT_TRUE(DirectoryExists(JoinPath(install, L"linked"))) << "the setup made no link";
    InstallFolderGuard guard(install);
    // relative path, whether writes may happen there, whether its content may be backed up
    const std::tuple<const wchar_t*, bool, bool> cases[] = {
        {L"", true, true},         {L"real\\own.txt", true, true}, {L"real\\new.txt", true, true},
        {L"new\\deeper\\x.dll", true, true}, {L"linked", false, false}, {L"linked\\secret.txt", false, false},
        {L"linked\\new.txt", false, false},  {L"linked\\new\\x.dll", false, false},
        {L"linked.txt", false, false},       {L"second-name.txt", true, false},
        {L"..\\outside\\secret.txt", false, false}, {L"real\\..\\linked\\secret.txt", false, false},
    };
    for (int round = 0; round < 2; ++round) { // the second answers from what the first learnt
        for (const auto& c : cases) {
            const std::wstring path = JoinPath(install, std::get<0>(c));
            EXPECT_EQ(guard.Contains(path), std::get<1>(c)) << path;
            EXPECT_EQ(guard.ContainsOwnContent(path), std::get<2>(c)) << path;
        }
    }
    EXPECT_FALSE(guard.Contains(JoinPath(data, L"outside\\secret.txt")));
    EXPECT_FALSE(guard.Contains(data + L"\\install2\\x.dll")) << "a sibling that merely starts the same";
}

TEST(InstallFolderGuardTest, RealPathsCompareInTheirOrdinaryForm)
{
    EXPECT_EQ(WithoutFinalPathPrefix(L"\\\\?\\C:\\App\\x.dll"), L"C:\\App\\x.dll");
    EXPECT_EQ(WithoutFinalPathPrefix(L"\\\\?\\UNC\\server\\share\\x"), L"\\\\server\\share\\x");
    EXPECT_EQ(WithoutFinalPathPrefix(L"C:\\App"), L"C:\\App");
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"C:\\App\\Sub\\x.dll", L"C:\\App", L"Sub\\x.dll", true}, {L"c:\\app\\SUB\\X.DLL", L"C:\\App\\", L"Sub/x.dll", true},
        {L"D:\\Elsewhere\\x.dll", L"C:\\App", L"Sub\\x.dll", false}, {L"C:\\App\\x.dll", L"", L"x.dll", false},
        {L"C:\\App\\Sub2\\x.dll", L"C:\\App", L"Sub\\x.dll", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsRealPathAt(std::get<0>(c), std::get<1>(c), std::get<2>(c)), std::get<3>(c)) << std::get<0>(c);
    }
}

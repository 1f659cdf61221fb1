#include <gtest/gtest.h>

#include <tuple>

#include "platform/PathText.h"

using namespace orv;

TEST(PathTextTest, JoinParentNameAndStem)
{
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> joins[] = {
        {L"C:\\App", L"bin\\x.dll", L"C:\\App\\bin\\x.dll"}, {L"C:\\App\\", L"x", L"C:\\App\\x"},
        {L"C:\\App/", L"x", L"C:\\App/x"},                   {L"C:\\App", L"D:\\x", L"D:\\x"},
        {L"C:\\App", L"\\x", L"C:\\App\\x"},                 {L"C:\\App\\", L"\\x", L"C:\\App\\\\x"},
        {L"", L"x", L"x"},                                   {L"C:\\App", L"", L"C:\\App"},
    };
    for (const auto& c : joins) {
        EXPECT_EQ(JoinPath(std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << std::get<0>(c) << L" + " << std::get<1>(c);
    }
    // path: parent, name, stem
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*> parts[] = {
        {L"C:\\x.txt", L"C:\\", L"x.txt", L"x"},           {L"C:/a/pkg.v2.zip", L"C:/a", L"pkg.v2.zip", L"pkg.v2"},
        {L"x.txt", L"", L"x.txt", L"x"},                   {L"C:\\a\\", L"C:\\a", L"", L""},
        {L"\\\\srv\\share\\f", L"\\\\srv\\share", L"f", L"f"}, {L"C:\\a\\.hidden", L"C:\\a", L".hidden", L""},
        {L"dir.d\\README", L"dir.d", L"README", L"README"}, {L"C:\\", L"C:\\", L"", L""},
    };
    for (const auto& c : parts) {
        const std::wstring path = std::get<0>(c);
        EXPECT_EQ(ParentPath(path) + L"|" + FileNamePart(path) + L"|" + FileStem(path),
                  std::wstring(std::get<1>(c)) + L"|" + std::get<2>(c) + L"|" + std::get<3>(c));
    }
}

TEST(PathTextTest, RootsTrailingSeparatorsTrimmingAndCase)
{
    // Every spelling of a drive, volume or share root, and the nearest texts
    // that are not roots.
    for (const wchar_t* root : {L"c:\\", L"Z:\\", L"\\", L"/", L"c:/", L"c:", L"D:\\\\", L"\\\\?\\C:\\",
                                L"\\\\?\\c:", L"//?/C:/", L"\\\\.\\C:\\", L"\\\\server\\share", L"\\\\server\\share\\",
                                L"\\\\server", L"\\\\?\\UNC\\server\\share\\", L"\\\\?\\unc\\server",
                                L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\", L"\\\\"}) {
        EXPECT_TRUE(IsRootPathText(root)) << root;
    }
    for (const wchar_t* folder : {L"c:\\a", L"1:\\", L"", L"\\\\?\\C:\\a", L"\\\\server\\share\\a",
                                  L"\\\\?\\UNC\\server\\share\\a", L"\\\\?\\uncle\\a", L"\\a\\b\\c", L"ab"}) {
        EXPECT_FALSE(IsRootPathText(folder)) << folder;
    }
    EXPECT_EQ(StripTrailingSeparators(L"D:\\App\\\\/"), L"D:\\App");
    EXPECT_EQ(StripTrailingSeparators(L"D:\\"), L"D:\\");
    EXPECT_EQ(TrimWhitespace(L" \t\r\n\v\f a b \r\n"), L"a b");
    EXPECT_TRUE(StartsWithNoCase(L"/InstallPath:C:\\x", L"/installpath:") && !StartsWithNoCase(L"/inst", L"/install"));
    EXPECT_TRUE(EndsWithNoCase(L"Package.ZIP", L".zip") && !EndsWithNoCase(L"zip", L".zip"));
}

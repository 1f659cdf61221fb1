#include <gtest/gtest.h>

#include "platform/PathText.h"

namespace {

TEST(PathTextTest, JoinPathFollowsSeparatorAndDriveRules)
{
    const struct {
        const wchar_t* base;
        const wchar_t* relative;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\App", L"bin\\x.dll", L"C:\\App\\bin\\x.dll"}, {L"C:\\App\\", L"x", L"C:\\App\\x"},
        {L"C:\\App/", L"x", L"C:\\App/x"},                   {L"C:\\App", L"D:\\x", L"D:\\x"},
        {L"C:\\App", L"\\x", L"C:\\App\\x"},                 {L"C:\\App\\", L"\\x", L"C:\\App\\\\x"},
        {L"", L"x", L"x"},                                   {L"C:\\App", L"", L"C:\\App"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JoinPath(c.base, c.relative), c.expected) << c.base << L" + " << c.relative;
    }
}

TEST(PathTextTest, ParentNameAndStem)
{
    const struct {
        const wchar_t* path;
        const wchar_t* parent;
        const wchar_t* name;
        const wchar_t* stem;
    } cases[] = {
        {L"C:\\x.txt", L"C:\\", L"x.txt", L"x"},           {L"C:/a/pkg.v2.zip", L"C:/a", L"pkg.v2.zip", L"pkg.v2"},
        {L"x.txt", L"", L"x.txt", L"x"},                   {L"C:\\a\\", L"C:\\a", L"", L""},
        {L"\\\\srv\\share\\f", L"\\\\srv\\share", L"f", L"f"}, {L"C:\\a\\.hidden", L"C:\\a", L".hidden", L""},
        {L"dir.d\\README", L"dir.d", L"README", L"README"}, {L"C:\\", L"C:\\", L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParentPath(c.path), c.parent) << c.path;
        EXPECT_EQ(FileNamePart(c.path), c.name) << c.path;
        EXPECT_EQ(FileStem(c.path), c.stem) << c.path;
    }
}

TEST(PathTextTest, RootsTrailingSeparatorsTrimmingAndCase)
{
    for (const wchar_t* root : {L"c:\\", L"Z:\\", L"\\", L"/"}) {
        EXPECT_TRUE(IsRootPathText(root)) << root;
    }
    for (const wchar_t* other : {L"c:\\a", L"1:\\", L"c:/", L""}) {
        EXPECT_FALSE(IsRootPathText(other)) << other;
    }
    EXPECT_EQ(StripTrailingSeparators(L"D:\\App\\\\/"), L"D:\\App");
    EXPECT_EQ(StripTrailingSeparators(L"D:\\"), L"D:\\");
    EXPECT_EQ(TrimWhitespace(L" \t\r\n\v\f a b \r\n"), L"a b");
    EXPECT_TRUE(StartsWithNoCase(L"/InstallPath:C:\\x", L"/installpath:"));
    EXPECT_FALSE(StartsWithNoCase(L"/inst", L"/installpath:"));
    EXPECT_TRUE(EndsWithNoCase(L"Package.ZIP", L".zip"));
    EXPECT_FALSE(EndsWithNoCase(L"zip", L".zip"));
}

} // namespace

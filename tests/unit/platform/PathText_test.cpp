#include <gtest/gtest.h>

#include "platform/PathText.h"

namespace {

struct JoinCase {
    const wchar_t* base;
    const wchar_t* relative;
    const wchar_t* expected;
};

TEST(PathTextTest, JoinPathFollowsSeparatorAndDriveRules)
{
    const JoinCase cases[] = {
        {L"C:\\App", L"bin\\x.dll", L"C:\\App\\bin\\x.dll"},
        {L"C:\\App\\", L"bin\\x.dll", L"C:\\App\\bin\\x.dll"},
        {L"C:\\App/", L"x", L"C:\\App/x"},
        {L"C:\\App", L"D:\\x", L"D:\\x"},
        {L"C:\\App", L"D:", L"D:"},
        {L"C:\\App", L"\\x", L"C:\\App\\x"},
        {L"C:\\App", L"/x", L"C:\\App/x"},
        {L"C:\\App\\", L"\\x", L"C:\\App\\\\x"},
        {L"", L"x", L"x"},
        {L"C:\\App", L"", L"C:\\App"},
        {L"a", L"b", L"a\\b"},
        {L"C:\\App", L"x", L"C:\\App\\x"},
    };
    for (const JoinCase& c : cases) {
        EXPECT_EQ(JoinPath(c.base, c.relative), c.expected) << c.base << L" + " << c.relative;
    }
}

TEST(PathTextTest, ParentPathKeepsDriveRoots)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\x.txt", L"C:\\"},    {L"x.txt", L""},          {L"C:\\a\\b", L"C:\\a"},
        {L"C:/a/b", L"C:/a"},       {L"\\x", L""},            {L"", L""},
        {L"C:\\", L"C:\\"},         {L"ab\\c", L"ab"},        {L"\\\\srv\\share\\f", L"\\\\srv\\share"},
        {L"C:\\a\\", L"C:\\a"},     {L"C:x\\y", L"C:x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParentPath(c.first), c.second) << c.first;
    }
}

TEST(PathTextTest, FileNameAndStem)
{
    EXPECT_EQ(FileNamePart(L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(FileNamePart(L"C:/a/b.txt"), L"b.txt");
    EXPECT_EQ(FileNamePart(L"plain"), L"plain");
    EXPECT_EQ(FileNamePart(L"C:\\a\\"), L"");
    EXPECT_EQ(FileStem(L"C:\\a\\pkg.v2.zip"), L"pkg.v2");
    EXPECT_EQ(FileStem(L"C:\\a\\README"), L"README");
    EXPECT_EQ(FileStem(L"C:\\a\\.hidden"), L"");
    EXPECT_EQ(FileStem(L"dir.d\\file"), L"file");
}

TEST(PathTextTest, TrimAndCaseInsensitiveComparisons)
{
    EXPECT_EQ(TrimWhitespace(L" \t\r\n\v\f a b \r\n"), L"a b");
    EXPECT_EQ(TrimWhitespace(L"   "), L"");
    EXPECT_EQ(TrimWhitespace(L""), L"");
    EXPECT_TRUE(EqualsNoCase(L"/SILENT", L"/silent"));
    EXPECT_FALSE(EqualsNoCase(L"/silent ", L"/silent"));
    EXPECT_TRUE(StartsWithNoCase(L"/InstallPath:C:\\x", L"/installpath:"));
    EXPECT_FALSE(StartsWithNoCase(L"/inst", L"/installpath:"));
    EXPECT_TRUE(EndsWithNoCase(L"Package.ZIP", L".zip"));
    EXPECT_FALSE(EndsWithNoCase(L"zip", L".zip"));
    EXPECT_TRUE(EndsWithNoCase(L"x", L""));
}

TEST(PathTextTest, RootTextsAndTrailingSeparators)
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
    EXPECT_EQ(StripTrailingSeparators(L"D:\\a\\"), L"D:\\a");
}

TEST(PathTextTest, QuoteArgumentEscapesForTheStandardSplitter)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"", L"\"\""},
        {L"plain", L"\"plain\""},
        {L"C:\\Program Files\\", L"\"C:\\Program Files\\\\\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"a\\\\b", L"\"a\\\\b\""},
        {L"\\\\srv\\s\\\\", L"\"\\\\srv\\s\\\\\\\\\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuoteArgument(c.first), c.second) << c.first;
    }
}

} // namespace

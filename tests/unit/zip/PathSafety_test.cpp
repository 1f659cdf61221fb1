#include <gtest/gtest.h>

#include <string>

#include "zip/PathSafety.h"

namespace {

struct PathCase {
    std::wstring path;
    bool safe;
};

void ExpectPaths(const std::initializer_list<PathCase>& cases)
{
    for (const PathCase& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << "path: [" << c.path << "]";
    }
}

TEST(PathSafetyTest, SeparatorsAndTrailingSeparator)
{
    ExpectPaths({
        {L"a/b/c.txt", true}, {L"a\\b\\c.txt", true}, {L"a/b\\c.txt", true}, {L"a/b/", true}, {L"a\\b\\", true},
        {L"a", true}, {L"a//b", false}, {L"a\\\\b", false}, {L"a\\b\\\\", false}, {L"a/b//", false},
        {L"a/\\", false}, {L"", false},
    });
}

TEST(PathSafetyTest, RootedDriveUncAndStreamPathsAreUnsafe)
{
    ExpectPaths({
        {L"/x", false}, {L"\\x", false}, {L"\\\\srv\\share\\x", false}, {L"//srv/share/x", false}, {L"/", false},
        {L"\\", false}, {L"C:\\x", false}, {L"C:/x", false}, {L"C:x", false}, {L"c:", false},
        {L"x:stream", false}, {L"a.txt:evil", false}, {L"dir/a.txt::$DATA", false},
    });
}

TEST(PathSafetyTest, DotSegmentsAnywhereAreUnsafe)
{
    ExpectPaths({
        {L"..\\x", false}, {L"../x", false}, {L"a\\..\\b", false}, {L"a\\.\\b", false}, {L"a/..", false},
        {L"a/.", false}, {L".", false}, {L"..", false}, {L"../", false}, {L"...", false},
        {L".hidden", true}, {L"a/..b", true}, {L"a..b/c", true},
    });
}

TEST(PathSafetyTest, DeviceNamesInAnySegmentAreUnsafe)
{
    ExpectPaths({
        {L"folder\\CON.txt", false}, {L"Nul", false}, {L"lpt1.log", false}, {L"COM9", false},
        {L"aux/readme.txt", false}, {L"a/prn.tar.gz", false}, {L"nul .txt", false}, {L"dir/CON  .log", false},
        {L"CONOUT$", false}, {L"x/lpt\u00b3.txt", false}, {L"com0.txt", true}, {L"com10", true},
        {L"console.txt", true}, {L"nullx", true}, {L"lpt0", true}, {L"xcon", true},
    });
}

TEST(PathSafetyTest, TrailingDotOrBlankInAnySegmentIsUnsafe)
{
    ExpectPaths({
        {L"dir.\\x", false}, {L"dir \\x", false}, {L"x.txt.", false}, {L"x.txt ", false}, {L"a/b /", false},
        {L" lead.txt", true}, {L"in side.txt", true}, {L"a.b/c", true},
    });
}

TEST(PathSafetyTest, ControlAndReservedCharactersAreUnsafe)
{
    ExpectPaths({
        {L"a\tb", false}, {std::wstring(L"a") + wchar_t(0x01) + L"b", false}, {std::wstring(L"a") + wchar_t(0x1F), false},
        {std::wstring(L"nul\0l", 5), false}, {L"what?.txt", false}, {L"star*.txt", false}, {L"a|b", false},
        {L"a<b", false}, {L"a>b", false}, {L"say\"hi\"", false}, {L"dir\\q?\\x", false},
        {L"caf\u00e9.txt", true}, {L"\u65e5\u672c/\u00fcber.txt", true}, {L"a+b,c;d=e[f]g{h}~#%&@!'^`.txt", true},
        {std::wstring(L"a") + wchar_t(0x7F) + L"b", true},
    });
}

TEST(PathSafetyTest, LengthIsCountedInUtf16UnitsBeforeAnyChange)
{
    std::wstring pairs; // a character outside the basic plane takes two units
    for (int i = 0; i < 121; ++i) {
        pairs += L"\U0001F600";
    }
    ExpectPaths({
        {std::wstring(243, L'a'), true}, {std::wstring(244, L'a'), false},
        {std::wstring(120, L'd') + L"/" + std::wstring(122, L'f'), true},
        {std::wstring(120, L'd') + L"/" + std::wstring(123, L'f'), false},
        // The trailing separator counts, although it is accepted and dropped.
        {std::wstring(242, L'a') + L"/", true}, {std::wstring(243, L'a') + L"/", false},
        {std::wstring(10000, L'a'), false}, {pairs + L"a", true}, {pairs + L"\U0001F600", false},
    });
}

TEST(PathSafetyTest, ReservedDeviceNamesByRule)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"aux", true}, {L"CON", true}, {L"Nul", true}, {L"pRn", true}, {L"con.txt", true}, {L"CON.TXT", true},
        {L"con.tar.gz", true}, {L"nul.", true}, {L"com1", true}, {L"COM9", true}, {L"lpt1", true},
        {L"LPT9.log", true}, {L"com0", false}, {L"lpt0", false}, {L"com10", false}, {L"lpt10", false},
        {L"coma", false}, {L"com", false}, {L"lpt", false}, {L"console", false}, {L"nullx", false},
        {L"xnul", false}, {L".con", false}, {L"", false}, {L".", false}, {L"con ", true}, {L"co.n", false},
        {L"clock$", false}, {L"nul .txt", true}, {L"Con \t.x", false}, {L" con", false}, {L"conin$", true},
        {L"CONOUT$.log", true}, {L"conin", false}, {L"conout$x", false}, {L"com\u00b9", true}, {L"LPT\u00b2", true},
        {L"com\u00b3.txt", true}, {L"com\u2074", false}, {L"lpt\u00b9\u00b9", false},
        // Only ASCII letters fold: these look alike but are other characters.
        {L"\u0441on", false}, {L"co\u0274", false}, {L"com\u0661", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsReservedDeviceName(c.first), c.second) << "segment: [" << c.first << "]";
    }
}

} // namespace

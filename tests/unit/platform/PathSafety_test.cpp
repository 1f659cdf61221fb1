#include <gtest/gtest.h>

#include <string>

#include "platform/PathSafety.h"

using namespace orv;

TEST(PathSafetyTest, OnlyPlainRelativeNamesOfEverySegmentAreSafe)
{
    std::wstring pairs; // a character outside the basic plane takes two units
    for (int i = 0; i < 121; ++i) {
        pairs += L"\U0001F600";
    }
    const std::pair<std::wstring, bool> cases[] = {
        // Separators, and a trailing one.
        {L"a/b/c.txt", true}, {L"a\\b\\c.txt", true}, {L"a/b\\c.txt", true}, {L"a/b/", true}, {L"a", true},
        {L"a//b", false}, {L"a\\b\\\\", false}, {L"a/\\", false}, {L"", false},
        // Rooted, drive, share and stream paths.
        {L"/x", false}, {L"\\x", false}, {L"\\\\srv\\share\\x", false}, {L"//srv/share/x", false}, {L"/", false},
        {L"C:\\x", false}, {L"C:x", false}, {L"c:", false}, {L"a.txt:evil", false}, {L"dir/a.txt::$DATA", false},
        // Dot segments anywhere, but dots inside names are fine.
        {L"..\\x", false}, {L"a/../b", false}, {L"a\\.\\b", false}, {L"a/..", false}, {L".", false},
        {L"...", false}, {L".hidden", true}, {L"a/..b", true}, {L"a..b/c", true},
        // A trailing dot or blank in any segment; leading and inner blanks are fine.
        {L"dir.\\x", false}, {L"dir \\x", false}, {L"x.txt.", false}, {L"a/b /", false}, {L" lead.txt", true},
        {L"in side.txt", true},
        // Control and reserved characters; anything else printable is fine.
        {L"a\tb", false}, {std::wstring(L"a\x1F"), false}, {std::wstring(L"nul\0l", 5), false}, {L"what?.txt", false},
        {L"star*.txt", false}, {L"a|b", false}, {L"a<b", false}, {L"a>b", false}, {L"say\"hi\"", false},
        {L"caf\u00e9.txt", true}, {L"\u65e5\u672c/\u00fcber.txt", true}, {L"a+b,c;d=e[f]g{h}~#%&@!'^`.txt", true},
        {L"a\x7F" L"b", true},
        // Device names in any segment, with any extension, a blank before the dot, or a superscript digit.
        {L"folder\\CON.txt", false}, {L"Nul", false}, {L"pRn", false}, {L"aux/readme.txt", false},
        {L"a/prn.tar.gz", false}, {L"nul.", false}, {L"nul .txt", false}, {L"dir/CON  .log", false}, {L"COM9", false},
        {L"lpt1.log", false}, {L"conin$", false}, {L"CONOUT$.log", false}, {L"com\u00b9", false},
        {L"x/lpt\u00b3.txt", false}, {L"com0.txt", true}, {L"lpt0", true}, {L"com10", true}, {L"coma", true},
        {L"com", true}, {L"console.txt", true}, {L"nullx", true}, {L"xcon", true}, {L".con", true},
        {L"co.n", true}, {L"clock$", true}, {L" con", true}, {L"conin", true}, {L"conout$x", true},
        {L"com\u2074", true}, {L"lpt\u00b9\u00b9", true},
        // Only ASCII letters fold: these look alike but are other characters.
        {L"\u0441on", true}, {L"co\u0274", true}, {L"com\u0661", true},
        // At most 243 UTF-16 units, counted before any change (the trailing separator too).
        {std::wstring(243, L'a'), true}, {std::wstring(244, L'a'), false},
        {std::wstring(120, L'd') + L"/" + std::wstring(122, L'f'), true},
        {std::wstring(120, L'd') + L"/" + std::wstring(123, L'f'), false},
        {std::wstring(242, L'a') + L"/", true}, {std::wstring(243, L'a') + L"/", false},
        {std::wstring(10000, L'a'), false}, {pairs + L"a", true}, {pairs + L"\U0001F600", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.first), c.second) << "path: [" << c.first << "]";
    }
}

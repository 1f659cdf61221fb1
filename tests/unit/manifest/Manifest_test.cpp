#include <gtest/gtest.h>

#include <string>

#include "ManifestTestSupport.h"
#include "manifest/Manifest.h"

using namespace orv;

namespace {

const std::wstring kNoVersionNode = L"The XML does not contain a <version> node.";
const std::wstring kIncomplete = L"The <version> node is incomplete.";
const std::wstring kOpeningTag = L"Manifest entry has an incomplete opening tag: ";
const std::wstring kNoClosingTag = L"Manifest entry has no closing tag: ";
const std::wstring kNoSafeEntries = L"The <version> node contains no safe .zip package entries.";

std::wstring Doc(const std::wstring& content)
{
    return L"<?xml version=\"1.0\"?>\r\n<Updater>\r\n  <version>" + content + L"</version>\r\n</Updater>\r\n";
}

TEST(ManifestTextTest, EntriesInDocumentOrderAttributesEntitiesAndEachFaultsOwnText)
{
    // A document, and what the reader makes of it: the entries it read (even
    // when it then failed) and its error text (empty on success).
    const struct {
        std::wstring text;
        std::wstring entries;
        std::wstring error = L"";
    } cases[] = {
        {L"<UPDATER><Version build=\"7\">\r\n  <Orvw_Lum.zip>27.0.0.4</ORVW_LUM.ZIP>\r\n"
         L"  <kds_lum.ZIP>\r\n\t 3.1 \r\n</KDS_Lum.zip><Mixed-Name_1.2.zip>1</mixed-name_1.2.zip></VERSION>",
         L"Orvw_Lum.zip=27.0.0.4; kds_lum.ZIP=3.1; Mixed-Name_1.2.zip=1"},
        // Only comments hide entries; "<?" and "<!" step over their own "<", and
        // a blank after "<" is no element at all.
        {Doc(L"<!-- <Fake.zip>9</Fake.zip> --><?pi <Pi.zip>8</Pi.zip> ?><!DOCTYPE x></stray>"
             L"< Blank.zip>7</Blank.zip><A.zip>1</A.zip><!----><B.zip>2</B.zip>"),
         L"Pi.zip=8; A.zip=1; B.zip=2"},
        // An unclosed comment ends the scan; "<!-->" does not close itself.
        {Doc(L"<A.zip>1</A.zip><!-- <B.zip>2</B.zip>"), L"A.zip=1"},
        {Doc(L"<!--><B.zip>2</B.zip>"), L"", kNoSafeEntries},
        // Nested elements belong to their entry's text.
        {Doc(L"<A.zip>1.0<Inner.zip>2.0</Inner.zip></A.zip><B.zip>3</B.zip>"),
         L"A.zip=1.0<Inner.zip>2.0</Inner.zip>; B.zip=3"},
        {Doc(L"<A.zip/><B.zip>3</B.zip></a.zip>"), L"A.zip=<B.zip>3</B.zip>"},
        // Unsafe names are dropped silently; a name stops at "/".
        {Doc(L"<c:evil.zip>1</c:evil.zip><notes.txt>1</notes.txt><zip>1</zip><Good.zip>2</Good.zip>"), L"Good.zip=2"},
        {Doc(L"<dir/x.zip>1</dir/x.zip>"), L"", kNoClosingTag + L"dir"},
        // A repeated name keeps its first place and the newer valid version.
        {Doc(L"<App.zip>1.2</App.zip><Other.zip>1</Other.zip><APP.ZIP>1.10</APP.ZIP><app.zip>1.9</app.zip>"),
         L"APP.ZIP=1.10; Other.zip=1"},
        {Doc(L"<App.zip>2.0</App.zip><APP.zip serverMissing=\"true\">2.0.0</APP.zip>"), L"App.zip=2.0"},
        // "<versionInfo" begins with "<version"; an entry whose name starts
        // with "version" closes only itself.
        {L"<versionInfo><A.zip>1</A.zip></versionInfo>", L"A.zip=1"},
        {L"<version><A.zip>1</A.zip><Version.zip.x>2</Version.zip.x><B.zip>3</B.zip></version>", L"A.zip=1; B.zip=3"},
        // Element names are never decoded.
        {Doc(L"<A&amp;B.zip>1</A&amp;B.zip>"), L"", kNoClosingTag + L"A"},
        // Each fault gives its own text.
        {L"", L"", kNoVersionNode},
        {L"<vers>", L"", kNoVersionNode},
        {L"<Updater><package.zip>1</package.zip></Updater>", L"", kNoVersionNode},
        {L"<version", L"", kIncomplete},
        {L"<Updater><versions/></Updater>", L"", kIncomplete},
        {L"<version><A.zip>1</A.zip></versio>", L"", kIncomplete},
        {L"<version></version>", L"", kNoSafeEntries},
        {Doc(L"<c:evil.zip>1</c:evil.zip>"), L"", kNoSafeEntries},
        {L"<version><A.zip 1</version>", L"", kOpeningTag + L"A.zip"},
        {L"<version><A.zip>1</B.zip></version>", L"", kNoClosingTag + L"A.zip"},
        {L"<version><A.zip>1</A.zip ></version>", L"", kNoClosingTag + L"A.zip"},
        {L"<version><Bad.txt>1</version>", L"", kNoClosingTag + L"Bad.txt"},
        {Doc(L"<B.zip>3</B.zip><A.zip/>"), L"B.zip=3", kNoClosingTag + L"A.zip"},
        // serverMissing needs both words inside the start tag; entities are decoded once, then trimmed.
        {Doc(L"<A.zip SERVERMISSING=\"TRUE\">1</A.zip><B.zip>2</B.zip>"), L"A.zip=1 !; B.zip=2"},
        {Doc(L"<A.zip serverMissing=\"false\" other=\"true\">1</A.zip>"), L"A.zip=1 !"},
        {Doc(L"<A.zip serverMissing=\"false\">1</A.zip>"), L"A.zip=1"},
        {Doc(L"<A.zip serverMissing=\"yes\">true</A.zip>"), L"A.zip=true"},
        {Doc(L"<A.zip server-missing=\"true\">1</A.zip>"), L"A.zip=1"},
        {Doc(L"<A.zip> &lt;&gt;&quot;&apos;&amp; </A.zip>"), L"A.zip=<>\"'&"},
        {Doc(L"<A.zip>&amp;lt;&amp;amp;</A.zip>"), L"A.zip=&lt;&amp;"},
        {Doc(L"<A.zip>&#49;&LT;&lt</A.zip>"), L"A.zip=&#49;&LT;&lt"},
    };
    for (const auto& c : cases) {
        PackageList list;
        std::wstring error;
        EXPECT_EQ(ParseManifestText(c.text, list, error), c.error.empty()) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(Describe(list), c.entries) << c.text;
    }
}

TEST(PackageListTest, NamesMatchUnderAsciiCaseFoldingOnly)
{
    PackageList list;
    MergeKeepNewer(list, {L"A.zip", L"1.2"});
    MergeKeepNewer(list, {L"B.zip", L"5"});
    MergeKeepNewer(list, {L"a.ZIP", L"1.10", true});
    MergeKeepNewer(list, {L"b.zip", L"5.0.0", true}); // not newer: kept as it was
    EXPECT_EQ(Describe(list), L"a.ZIP=1.10 !; B.zip=5");
    // An invalid version on either side lets the newcomer in.
    MergeKeepNewer(list, {L"B.ZIP", L"not a version"});
    MergeKeepNewer(list, {L"b.zip", L"0.1"});
    // Recording overwrites without comparing.
    SetEntry(list, {L"A.ZIP", L"0.1"});
    SetEntry(list, {L"\u00c4pfel.zip", L"1"});
    SetEntry(list, {L"\u00e4pfel.zip", L"2"});
    EXPECT_EQ(Describe(list), L"A.ZIP=0.1; b.zip=0.1; \u00c4pfel.zip=1; \u00e4pfel.zip=2");
    ASSERT_NE(list.Find(L"\u00c4PFEL.ZIP"), nullptr);
    EXPECT_EQ(list.Find(L"\u00c4PFEL.ZIP")->version, L"1");
    EXPECT_EQ(list.Find(L"C.zip"), nullptr);
    // Only plain ZIP file names are safe.
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"Orvw_Lum.zip", true}, {L"A.ZIP", true},     {L"with blank.zip", true}, {L"..zip", true},
        {L"", false},            {L"a.zip.txt", false}, {L"a.zip ", false},       {L"dir/a.zip", false},
        {L"dir\\a.zip", false},  {L"c:a.zip", false},   {L"../a.zip", false},     {L"..", false},
        // Names a download path must not take: devices, control characters.
        {L"NUL.zip", false},     {L"com1.ZIP", false},  {L"Lpt9.x.zip", false},   {L"con .zip", false},
        {L"tab\t.zip", false},   {L"q?.zip", false},    {L"COM10.zip", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafePackageName({c.first, L"1.0"}), c.second) << c.first;
    }
}

// That any state document reads back as its list is the manifest fuzz target's property.
TEST(StateTextTest, TheStateDocumentHasItsFixedLayoutAndDropsUnsafeNames)
{
    PackageList list;
    SetEntry(list, {L"Orvw_Lum.zip", L"27.0.0.4"});
    SetEntry(list, {L"KDS_Lum.zip", L"3.1", true});
    SetEntry(list, {L"Odd.zip", L"a&b<c>d\"e'f&amp;"});
    SetEntry(list, {L"..\\evil.zip", L"1"});
    SetEntry(list, {L"notes.txt", L"1"});
    EXPECT_EQ(BuildStateText(list),
              L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\r\n<Updater>\r\n  <version>\r\n"
              L"    <Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>\r\n"
              L"    <KDS_Lum.zip serverMissing=\"true\">3.1</KDS_Lum.zip>\r\n"
              L"    <Odd.zip>a&amp;b&lt;c&gt;d&quot;e&apos;f&amp;amp;</Odd.zip>\r\n"
              L"  </version>\r\n</Updater>\r\n");
}

} // namespace

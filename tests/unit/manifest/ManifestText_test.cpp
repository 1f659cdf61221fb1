#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "ManifestTestSupport.h"

namespace {

struct ParseResult {
    bool ok = false;
    std::wstring error;
    std::vector<std::wstring> entries;
};

ParseResult Parse(const std::wstring& text)
{
    ParseResult result;
    PackageList list;
    result.ok = ParseManifestText(text, list, result.error);
    result.entries = Describe(list);
    return result;
}

std::wstring Doc(const std::wstring& content)
{
    return L"<?xml version=\"1.0\"?>\r\n<Updater>\r\n  <version>" + content + L"</version>\r\n</Updater>\r\n";
}

TEST(PackageNameTest, OnlyPlainZipFileNamesAreSafe)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"Orvw_Lum.zip", true}, {L"A.ZIP", true},     {L"a.Zip", true},      {L"with blank.zip", true},
        {L".zip", true},         {L"..zip", true},      {L"a..zip", true},     {L"", false},
        {L"zip", false},         {L"a.zip.txt", false}, {L"a.zip ", false},    {L"a.txt", false},
        {L"a.zipx", false},      {L"dir/a.zip", false}, {L"dir\\a.zip", false}, {L"c:a.zip", false},
        {L"a:b.zip", false},     {L"../a.zip", false},  {L"..\\a.zip", false}, {L".", false},
        {L"..", false},          {L"/a.zip", false},    {L"\\\\srv\\a.zip", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafePackageName(Entry(c.first, L"1.0")), c.second) << c.first;
    }
}

TEST(PackageListTest, MergeKeepNewerKeepsOneEntryPerNameInFirstPosition)
{
    PackageList list;
    MergeKeepNewer(list, Entry(L"A.zip", L"1.2"));
    MergeKeepNewer(list, Entry(L"B.zip", L"5"));
    MergeKeepNewer(list, Entry(L"a.ZIP", L"1.10", true));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"a.ZIP=1.10 !", L"B.zip=5"}));

    // Not newer: the existing entry stays as it was, name case included.
    MergeKeepNewer(list, Entry(L"A.zip", L"1.9"));
    MergeKeepNewer(list, Entry(L"b.zip", L"5.0.0", true));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"a.ZIP=1.10 !", L"B.zip=5"}));

    // Any invalid version on either side lets the newcomer in.
    MergeKeepNewer(list, Entry(L"B.ZIP", L"not a version"));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"a.ZIP=1.10 !", L"B.ZIP=not a version"}));
    MergeKeepNewer(list, Entry(L"b.zip", L"0.1"));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"a.ZIP=1.10 !", L"b.zip=0.1"}));
    MergeKeepNewer(list, Entry(L"A.zip", L""));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"A.zip=", L"b.zip=0.1"}));
}

TEST(PackageListTest, SetEntryOverwritesWithoutComparing)
{
    PackageList list;
    SetEntry(list, Entry(L"One.zip", L"3.0", true));
    SetEntry(list, Entry(L"Two.zip", L"1.0"));
    SetEntry(list, Entry(L"ONE.zip", L"1.0"));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"ONE.zip=1.0", L"Two.zip=1.0"}));
    ASSERT_NE(list.Find(L"one.ZIP"), nullptr);
    EXPECT_EQ(list.Find(L"one.ZIP")->name, L"ONE.zip");
    EXPECT_EQ(list.Find(L"Three.zip"), nullptr);
    list.Clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.Find(L"One.zip"), nullptr);
    SetEntry(list, Entry(L"Two.zip", L"2"));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"Two.zip=2"}));
}

TEST(PackageListTest, OnlyAsciiLettersAreFoldedWhenMatchingNames)
{
    PackageList list;
    SetEntry(list, Entry(L"\u00c4pfel.zip", L"1"));
    SetEntry(list, Entry(L"\u00e4pfel.zip", L"2"));
    SetEntry(list, Entry(L"\u00c4PFEL.ZIP", L"3"));
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"\u00c4PFEL.ZIP=3", L"\u00e4pfel.zip=2"}));
    EXPECT_EQ(FoldAsciiCase(L"AZaz@[`{\u00c4"), L"azaz@[`{\u00c4");
}

TEST(ManifestTextTest, ReadsEntriesInDocumentOrderWithTheirWrittenCase)
{
    const ParseResult r = Parse(L"<?xml version=\"1.0\"?><UPDATER><Version build=\"7\">\r\n"
                                L"  <Orvw_Lum.zip>27.0.0.4</ORVW_LUM.ZIP>\r\n"
                                L"  <kds_lum.ZIP>\r\n\t 3.1 \r\n</KDS_Lum.zip>\r\n"
                                L"  <Mixed-Name_1.2.zip>1</mixed-name_1.2.zip>\r\n"
                                L"</VERSION></UPDATER>");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"Orvw_Lum.zip=27.0.0.4", L"kds_lum.ZIP=3.1",
                                                    L"Mixed-Name_1.2.zip=1"}));
}

TEST(ManifestTextTest, SkipsMarkupThatIsNotAnEntry)
{
    const ParseResult r = Parse(Doc(L"<!-- <Fake.zip>9</Fake.zip> -->"
                                    L"<?pi <Pi.zip>8</Pi.zip> ?>"
                                    L"<!DOCTYPE x>"
                                    L"</stray>"
                                    L"< Blank.zip>7</Blank.zip>"
                                    L"<A.zip>1</A.zip>"
                                    L"<!---->"
                                    L"<B.zip>2</B.zip>"));
    EXPECT_TRUE(r.ok) << r.error;
    // "<?" and "<!" only step over their own "<": an entry inside a
    // processing instruction is still read; only comments hide entries. A
    // blank after "<" is no element at all.
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"Pi.zip=8", L"A.zip=1", L"B.zip=2"}));
}

TEST(ManifestTextTest, AnUnclosedCommentEndsTheScan)
{
    ParseResult r = Parse(Doc(L"<A.zip>1</A.zip><!-- <B.zip>2</B.zip>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1"}));

    r = Parse(Doc(L"<!-- <B.zip>2</B.zip>"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoSafeEntries);

    // "<!-->" does not close itself.
    r = Parse(Doc(L"<!--><B.zip>2</B.zip>"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoSafeEntries);
}

TEST(ManifestTextTest, NestedAndSelfClosingElements)
{
    // Nested elements belong to their entry's text; scanning resumes after
    // the entry's closing tag.
    ParseResult r = Parse(Doc(L"<A.zip>1.0<Inner.zip>2.0</Inner.zip></A.zip><B.zip>3</B.zip>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1.0<Inner.zip>2.0</Inner.zip>", L"B.zip=3"}));

    r = Parse(Doc(L"<B.zip>3</B.zip><A.zip/>"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoClosingTag + L"A.zip");
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"B.zip=3"}));

    // A later matching closing tag makes the self-closed element an entry.
    r = Parse(Doc(L"<A.zip/><B.zip>3</B.zip></a.zip>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=<B.zip>3</B.zip>"}));
}

TEST(ManifestTextTest, UnsafeNamesAreDroppedSilently)
{
    ParseResult r = Parse(Doc(L"<c:evil.zip>1</c:evil.zip><notes.txt>1</notes.txt><zip>1</zip>"
                              L"<Good.zip>2</Good.zip><Data.ZIP.bak>1</Data.ZIP.bak>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"Good.zip=2"}));

    r = Parse(Doc(L"<c:evil.zip>1</c:evil.zip><notes.txt>1</notes.txt>"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoSafeEntries);

    // A name stops at "/": the element is "dir", whose closing tag is missing.
    r = Parse(Doc(L"<dir/x.zip>1</dir/x.zip>"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoClosingTag + L"dir");
}

TEST(ManifestTextTest, RepeatedPackagesKeepTheNewerOrTheFirst)
{
    ParseResult r = Parse(Doc(L"<App.zip>1.2</App.zip><Other.zip>1</Other.zip><APP.ZIP>1.10</APP.ZIP>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"APP.ZIP=1.10", L"Other.zip=1"}));

    r = Parse(Doc(L"<App.zip>1.10</App.zip><app.zip>1.2</app.zip>"));
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"App.zip=1.10"}));

    r = Parse(Doc(L"<App.zip>2.0</App.zip><APP.zip serverMissing=\"true\">2.0.0</APP.zip>"));
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"App.zip=2.0"}));
}

TEST(ManifestTextTest, ServerMissingNeedsBothWordsInsideTheStartTag)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"<A.zip serverMissing=\"true\">1</A.zip>", true},
        {L"<A.zip SERVERMISSING=\"TRUE\">1</A.zip>", true},
        {L"<A.zip servermissing='True'>1</A.zip>", true},
        {L"<A.zip serverMissing=\"false\" other=\"true\">1</A.zip>", true},
        {L"<A.zip other=\"TRUE\"\r\n serverMissing>1</A.zip>", true},
        {L"<A.zip serverMissingtrue>1</A.zip>", true},
        {L"<A.zip serverMissing=\"false\">1</A.zip>", false},
        {L"<A.zip serverMissing=\"yes\">true</A.zip>", false},
        {L"<A.zip other=\"true\">1</A.zip>", false},
        {L"<A.zip server-missing=\"true\">1</A.zip>", false},
        {L"<A.zip>1</A.zip>", false},
    };
    for (const auto& c : cases) {
        const ParseResult r = Parse(Doc(c.first));
        ASSERT_TRUE(r.ok) << c.first << L": " << r.error;
        ASSERT_EQ(r.entries.size(), 1u) << c.first;
        EXPECT_EQ(r.entries[0].back() == L'!', c.second) << c.first;
    }
    // The flag of one entry does not leak into the next.
    const ParseResult r = Parse(Doc(L"<A.zip serverMissing=\"true\">1</A.zip><B.zip>2</B.zip>"));
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1 !", L"B.zip=2"}));
}

TEST(ManifestTextTest, EntitiesAreDecodedOnceThenTrimmed)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"&lt;&gt;&quot;&apos;&amp;", L"<>\"'&"},
        {L"&amp;lt;", L"&lt;"},
        {L"&amp;amp;", L"&amp;"},
        {L"1&amp;2", L"1&2"},
        {L"&#49;&#x32;", L"&#49;&#x32;"},
        {L"&LT;&lt", L"&LT;&lt"},
        {L" &amp; ", L"&"},
        {L"&amp;#32;1", L"&#32;1"},
    };
    for (const auto& c : cases) {
        const ParseResult r = Parse(Doc(std::wstring(L"<A.zip>") + c.first + L"</A.zip>"));
        ASSERT_TRUE(r.ok) << c.first << L": " << r.error;
        EXPECT_EQ(r.entries, (std::vector<std::wstring>{std::wstring(L"A.zip=") + c.second})) << c.first;
    }
    // Decoding itself does not trim.
    EXPECT_EQ(DecodeEntities(L" &amp; &lt;"), L" & <");
    // Element names are never decoded.
    const ParseResult r = Parse(Doc(L"<A&amp;B.zip>1</A&amp;B.zip><C.zip>2</C.zip>"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoClosingTag + L"A");
}

TEST(ManifestTextTest, EachFaultGivesItsOwnText)
{
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", kNoVersionNode},
        {L"<versio", kNoVersionNode},
        {L"<vers>", kNoVersionNode},
        {L"<Updater><versions/></Updater>", kVersionNodeIncomplete},
        {L"<Updater><package.zip>1</package.zip></Updater>", kNoVersionNode},
        {L"<version", kVersionNodeIncomplete},
        {L"<version><A.zip>1</A.zip>", kVersionNodeIncomplete},
        {L"<version><A.zip>1</A.zip></versio>", kVersionNodeIncomplete},
        {L"<version></version>", kNoSafeEntries},
        {L"<version>1.0</version>", kNoSafeEntries},
        {L"<version><A.zip>1</A.zip></version", L""},
        {L"<version><A.zip 1</version>", kIncompleteOpeningTag + L"A.zip"},
        {L"<version><A.zip>1</B.zip></version>", kNoClosingTag + L"A.zip"},
        {L"<version><A.zip>1</version></A.zip>", kNoClosingTag + L"A.zip"},
        {L"<version><A.zip>1</A.zip ></version>", kNoClosingTag + L"A.zip"},
        {L"<version><Bad.txt>1</version>", kNoClosingTag + L"Bad.txt"},
        {L"<version><A.zip>1</A.zip><B.zip>2</version>", kNoClosingTag + L"B.zip"},
    };
    for (const auto& c : cases) {
        const ParseResult r = Parse(c.first);
        EXPECT_EQ(r.ok, c.second.empty()) << c.first;
        EXPECT_EQ(r.error, c.second) << c.first;
    }
}

TEST(ManifestTextTest, VersionElementNamesAreMatchedByTheirStart)
{
    // "<versionInfo" begins with "<version", and its end tag with "</version".
    ParseResult r = Parse(L"<versionInfo><A.zip>1</A.zip></versionInfo>");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1"}));

    // An entry whose name starts with "version" closes only itself: the
    // entries after it are still read.
    r = Parse(L"<version><Version.zip>2</Version.zip></version>");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"Version.zip=2"}));

    r = Parse(L"<version><A.zip>1</A.zip><Version.zip.x>2</Version.zip.x><B.zip>3</B.zip></version>");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1", L"B.zip=3"}));
}

TEST(ManifestTextTest, EveryTruncationFailsWithAReaderTextOrReadsAPrefix)
{
    const std::wstring full = Doc(L"\r\n    <Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>\r\n"
                                  L"    <!-- c --><KDS_Lum.zip serverMissing=\"true\">3.1</KDS_Lum.zip>\r\n  ");
    for (size_t length = 0; length < full.size(); ++length) {
        const ParseResult r = Parse(full.substr(0, length));
        if (r.ok) {
            EXPECT_FALSE(r.entries.empty()) << length;
        } else {
            EXPECT_TRUE(IsReaderErrorText(r.error)) << length << L": " << r.error;
        }
    }
    const ParseResult r = Parse(full);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"Orvw_Lum.zip=27.0.0.4", L"KDS_Lum.zip=3.1 !"}));
}

TEST(ManifestTextTest, RandomGarbageNeverCrashesAndAlwaysExplains)
{
    std::mt19937 random(20240611);
    const wchar_t alphabet[] = L"<>/!?-.:_ aZ9\r\n\"=&;versionVERSIONzip\u00e4\u4e2d";
    const size_t alphabetSize = sizeof(alphabet) / sizeof(alphabet[0]) - 1;
    for (int round = 0; round < 2000; ++round) {
        std::wstring text = round % 2 ? L"<version>" : L"";
        const size_t length = random() % 200;
        for (size_t i = 0; i < length; ++i) {
            text.push_back(alphabet[random() % alphabetSize]);
        }
        if (round % 3 == 0) {
            text += L"</version>";
        }
        const ParseResult r = Parse(text);
        if (!r.ok) {
            EXPECT_TRUE(IsReaderErrorText(r.error)) << text << L": " << r.error;
        } else {
            for (const std::wstring& line : r.entries) {
                EXPECT_TRUE(IsSafePackageName(Entry(line.substr(0, line.find(L'=')), L""))) << line;
            }
        }
    }
}

TEST(ManifestTextTest, HostileSizesStayWithinTheScanner)
{
    // A million comments before the one entry.
    std::wstring many;
    many.reserve(9000000);
    for (int i = 0; i < 1000000; ++i) {
        many += L"<!--x-->";
    }
    ParseResult r = Parse(Doc(many + L"<A.zip>1</A.zip>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1"}));
    r = Parse(Doc(many));
    EXPECT_EQ(r.error, kNoSafeEntries);

    // A million opening tags that are never closed: the first one fails.
    std::wstring open;
    for (int i = 0; i < 1000000; ++i) {
        open += L"<P" + std::to_wstring(i % 10) + L".zip>";
    }
    r = Parse(Doc(open));
    EXPECT_EQ(r.error, kNoClosingTag + L"P0.zip");

    // A million closing tags without an opening one, and a million bare "<".
    std::wstring closers;
    for (int i = 0; i < 1000000; ++i) {
        closers += L"</A.zip>";
    }
    r = Parse(Doc(closers + std::wstring(1000000, L'<') + L"<B.zip>1</B.zip>"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"B.zip=1"}));

    // Near-miss closing tags: every "</" looks like the awaited one almost
    // to its end.
    const std::wstring name(5000, L'n');
    std::wstring nearMiss;
    for (int i = 0; i < 400; ++i) {
        nearMiss += L"</" + name + L"x";
    }
    r = Parse(Doc(L"<" + name + L".zip>1" + nearMiss));
    EXPECT_EQ(r.error, kNoClosingTag + name + L".zip");

    // An unclosed comment over a long run of dashes.
    r = Parse(Doc(L"<A.zip>1</A.zip><!--" + std::wstring(3000000, L'-')));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.entries, (std::vector<std::wstring>{L"A.zip=1"}));
}

TEST(ManifestTextTest, ALargeListIsReadCompletely)
{
    std::wstring content;
    for (int i = 0; i < 100000; ++i) {
        content += L"<Pkg" + std::to_wstring(i) + L".zip>1." + std::to_wstring(i) + L"</Pkg" + std::to_wstring(i) +
                   L".zip>";
    }
    // The same names again, older and in another case: nothing changes.
    for (int i = 0; i < 100000; i += 7) {
        content += L"<PKG" + std::to_wstring(i) + L".ZIP>1.0</PKG" + std::to_wstring(i) + L".ZIP>";
    }
    PackageList list;
    std::wstring error;
    ASSERT_TRUE(ParseManifestText(Doc(content), list, error)) << error;
    ASSERT_EQ(list.size(), 100000u);
    for (size_t i = 0; i < list.size(); i += 9973) {
        EXPECT_EQ(list[i].name, L"Pkg" + std::to_wstring(i) + L".zip");
        EXPECT_EQ(list[i].version, L"1." + std::to_wstring(i));
    }
}

TEST(StateTextTest, WritesTheDocumentPieceByPiece)
{
    PackageList list;
    SetEntry(list, Entry(L"Orvw_Lum.zip", L"27.0.0.4"));
    SetEntry(list, Entry(L"KDS_Lum.zip", L"3.1", true));
    EXPECT_EQ(BuildStateText(list), L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\r\n"
                                    L"<Updater>\r\n"
                                    L"  <version>\r\n"
                                    L"    <Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>\r\n"
                                    L"    <KDS_Lum.zip serverMissing=\"true\">3.1</KDS_Lum.zip>\r\n"
                                    L"  </version>\r\n"
                                    L"</Updater>\r\n");
    EXPECT_EQ(BuildStateText(PackageList()), L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\r\n"
                                             L"<Updater>\r\n  <version>\r\n  </version>\r\n</Updater>\r\n");
}

TEST(StateTextTest, EscapesVersionsOnceAndLeavesOutUnsafeNames)
{
    EXPECT_EQ(EscapeVersionText(L"a&b<c>d\"e'f&amp;"), L"a&amp;b&lt;c&gt;d&quot;e&apos;f&amp;amp;");
    PackageList list;
    SetEntry(list, Entry(L"..\\evil.zip", L"1"));
    SetEntry(list, Entry(L"A.zip", L"1&2"));
    SetEntry(list, Entry(L"notes.txt", L"1"));
    SetEntry(list, Entry(L"c:x.zip", L"1"));
    const std::wstring text = BuildStateText(list);
    EXPECT_NE(text.find(L"    <A.zip>1&amp;2</A.zip>\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"evil"), std::wstring::npos);
    EXPECT_EQ(text.find(L"notes"), std::wstring::npos);
    EXPECT_EQ(text.find(L"x.zip"), std::wstring::npos);
}

TEST(StateTextTest, WrittenTextReadsBackToTheSameList)
{
    PackageList list;
    SetEntry(list, Entry(L"Orvw_Lum.zip", L"27.0.0.4"));
    SetEntry(list, Entry(L"kds_LUM.ZIP", L"3.1", true));
    SetEntry(list, Entry(L"Odd.zip", L"a&b<c>d\"e'f&amp;lt;"));
    SetEntry(list, Entry(L"\u00c4pfel.zip", L"not-a-version"));
    SetEntry(list, Entry(L"Gone.zip", L"1.0.0.0", true));
    PackageList back;
    std::wstring error;
    ASSERT_TRUE(ParseManifestText(BuildStateText(list), back, error)) << error;
    EXPECT_EQ(Describe(back), Describe(list));

    // An empty list writes a document that reads as "no safe entries".
    EXPECT_FALSE(ParseManifestText(BuildStateText(PackageList()), back, error));
    EXPECT_EQ(error, kNoSafeEntries);
}

} // namespace

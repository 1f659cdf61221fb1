#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "ManifestTestSupport.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

std::string Utf16LeBytes(const std::wstring& text)
{
    std::string bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

// The document below, with a German and a Chinese package name.
const wchar_t kWideDocument[] = L"<?xml version=\"1.0\"?>\r\n<Updater>\r\n  <Version>\r\n"
                                L"    <Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>\r\n"
                                L"    <\u00c4pfel.zip servermissing=\"TRUE\">1.2</\u00c4pfel.zip>\r\n"
                                L"    <\u4e2d.zip>3</\u4e2d.zip>\r\n"
                                L"  </Version>\r\n</Updater>\r\n";
const char kUtf8Document[] = "<?xml version=\"1.0\"?>\r\n<Updater>\r\n  <Version>\r\n"
                             "    <Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>\r\n"
                             "    <\xC3\x84pfel.zip servermissing=\"TRUE\">1.2</\xC3\x84pfel.zip>\r\n"
                             "    <\xE4\xB8\xAD.zip>3</\xE4\xB8\xAD.zip>\r\n"
                             "  </Version>\r\n</Updater>\r\n";
const std::vector<std::wstring> kDocumentEntries = {L"Orvw_Lum.zip=27.0.0.4", L"\u00c4pfel.zip=1.2 !",
                                                    L"\u4e2d.zip=3"};

TEST(ReadManifestFileTest, EveryEncodingGivesTheSameList)
{
    TempDir dir;
    const std::pair<const wchar_t*, std::string> files[] = {
        {L"utf16.xml", "\xFF\xFE" + Utf16LeBytes(kWideDocument)},
        // An odd last byte of UTF-16 text is dropped.
        {L"utf16-odd.xml", "\xFF\xFE" + Utf16LeBytes(kWideDocument) + "\x41"},
        {L"utf8-bom.xml", "\xEF\xBB\xBF" + std::string(kUtf8Document)},
        {L"utf8.xml", std::string(kUtf8Document)},
    };
    for (const auto& file : files) {
        WriteTestFile(dir / file.first, file.second);
        PackageList list;
        std::wstring error;
        EXPECT_TRUE(ReadManifestFile(dir / file.first, list, error)) << file.first << L": " << error;
        EXPECT_EQ(Describe(list), kDocumentEntries) << file.first;
    }
}

TEST(ReadManifestFileTest, OtherByteOrdersAreTakenAsUtf8)
{
    TempDir dir;
    std::string bigEndian = "\xFE\xFF";
    for (const wchar_t c : std::wstring(kWideDocument)) {
        bigEndian.push_back(static_cast<char>((c >> 8) & 0xFF));
        bigEndian.push_back(static_cast<char>(c & 0xFF));
    }
    WriteTestFile(dir / L"utf16be.xml", bigEndian);
    WriteTestFile(dir / L"utf16-no-bom.xml", Utf16LeBytes(kWideDocument));
    for (const wchar_t* name : {L"utf16be.xml", L"utf16-no-bom.xml"}) {
        PackageList list;
        std::wstring error;
        EXPECT_FALSE(ReadManifestFile(dir / name, list, error)) << name;
        EXPECT_EQ(error, kNoVersionNode) << name;
    }
}

TEST(ReadManifestFileTest, FileProblemsBecomeTheReadersText)
{
    TempDir dir;
    PackageList list;
    std::wstring error;
    EXPECT_FALSE(ReadManifestFile(dir / L"missing.xml", list, error));
    EXPECT_EQ(error, L"Cannot open file");

    CreateDirectories(dir / L"folder.xml");
    error.clear();
    EXPECT_FALSE(ReadManifestFile(dir / L"folder.xml", list, error));
    EXPECT_EQ(error, L"Cannot open file");

    WriteTestFile(dir / L"empty.xml", "");
    EXPECT_FALSE(ReadManifestFile(dir / L"empty.xml", list, error));
    EXPECT_EQ(error, kNoVersionNode);
}

TEST(ReadManifestFileTest, SixtyFourMebibytesIsTheLimit)
{
    TempDir dir;
    const size_t limit = 64u * 1024u * 1024u;
    const std::string head = "<version><Big.zip>1.0</Big.zip><!--";
    const std::string tail = "--></version>";
    std::string bytes = head + std::string(limit - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(bytes.size(), limit);
    WriteTestFile(dir / L"limit.xml", bytes);
    PackageList list;
    std::wstring error;
    EXPECT_TRUE(ReadManifestFile(dir / L"limit.xml", list, error)) << error;
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"Big.zip=1.0"}));

    bytes.push_back('\n');
    WriteTestFile(dir / L"over.xml", bytes);
    EXPECT_FALSE(ReadManifestFile(dir / L"over.xml", list, error));
    EXPECT_EQ(error, L"File is too large or unreadable");
    EXPECT_TRUE(list.empty());
}

TEST(ReadManifestFileTest, BinaryGarbageIsRejectedWithAReaderText)
{
    TempDir dir;
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        std::string bytes(1u << 20, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(random() & 0xFF);
        }
        if (round % 3 == 1) {
            bytes[0] = '\xFF';
            bytes[1] = '\xFE';
        } else if (round % 3 == 2) {
            // Garbage inside a plausible frame.
            bytes = "<version><A.zip>" + bytes + "</version>";
        }
        WriteTestFile(dir / L"garbage.xml", bytes);
        PackageList list;
        std::wstring error;
        EXPECT_FALSE(ReadManifestFile(dir / L"garbage.xml", list, error)) << round;
        EXPECT_TRUE(IsReaderErrorText(error)) << round << L": " << error;
    }
}

TEST(ReadManifestFileTest, TheListIsEmptiedFirst)
{
    TempDir dir;
    PackageList list;
    SetEntry(list, Entry(L"Old.zip", L"1"));
    WriteTestFile(dir / L"a.xml", "<version><New.zip>2</New.zip></version>");
    std::wstring error;
    ASSERT_TRUE(ReadManifestFile(dir / L"a.xml", list, error)) << error;
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"New.zip=2"}));

    // On failure the list holds only what this read added before the fault.
    WriteTestFile(dir / L"b.xml", "<version><First.zip>1</First.zip><Broken.zip>2</version>");
    EXPECT_FALSE(ReadManifestFile(dir / L"b.xml", list, error));
    EXPECT_EQ(error, L"Manifest entry has no closing tag: Broken.zip");
    EXPECT_EQ(Describe(list), (std::vector<std::wstring>{L"First.zip=1"}));
}

TEST(ReadManifestFileTest, TheGuardTurnsEveryEscapeIntoAText)
{
    std::wstring error;
    EXPECT_FALSE(RunGuardedManifestRead([](std::wstring&) -> bool { throw FileReadError("Cannot read complete file"); },
                                        error));
    EXPECT_EQ(error, L"Cannot read complete file");

    EXPECT_FALSE(RunGuardedManifestRead(
        [](std::wstring&) -> bool { throw std::runtime_error("Gr\xC3\xBC\xC3\x9F" "e"); }, error));
    EXPECT_EQ(error, L"Gr\u00fc\u00dfe");

    EXPECT_FALSE(RunGuardedManifestRead([](std::wstring&) -> bool { throw 42; }, error));
    EXPECT_EQ(error, L"Unknown manifest parsing error.");

    error.clear();
    EXPECT_TRUE(RunGuardedManifestRead([](std::wstring&) { return true; }, error));
    EXPECT_EQ(error, L"");
    EXPECT_FALSE(RunGuardedManifestRead(
        [](std::wstring& e) {
            e = L"own text";
            return false;
        },
        error));
    EXPECT_EQ(error, L"own text");
}

TEST(WriteStateFileTest, StoresUtf8WithoutBomThroughASideFile)
{
    TempDir dir;
    PackageList list;
    SetEntry(list, Entry(L"Orvw_Lum.zip", L"27.0.0.4"));
    SetEntry(list, Entry(L"\u00c4pfel.zip", L"3.1", true));
    const std::wstring path = dir / L"state\\updater-w7.xml";
    WriteTestFile(path, "previous content that is longer than the new document will be, by quite a lot of bytes "
                        "so that a missing truncation would show up at the end of the file");
    std::wstring error;
    ASSERT_TRUE(WriteStateFile(path, list, error)) << error;
    EXPECT_EQ(ReadTestFile(path), "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\r\n"
                                  "<Updater>\r\n"
                                  "  <version>\r\n"
                                  "    <Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>\r\n"
                                  "    <\xC3\x84pfel.zip serverMissing=\"true\">3.1</\xC3\x84pfel.zip>\r\n"
                                  "  </version>\r\n"
                                  "</Updater>\r\n");
    EXPECT_FALSE(FileExists(path + L".new"));

    // A missing folder is created on the way.
    ASSERT_TRUE(WriteStateFile(dir / L"new\\folder\\pending-updater-w7.xml", list, error)) << error;
    EXPECT_EQ(ReadTestFile(dir / L"new\\folder\\pending-updater-w7.xml"), ReadTestFile(path));
}

TEST(WriteStateFileTest, AFolderInTheWayFailsWithTheSystemsText)
{
    TempDir dir;
    CreateDirectories(dir / L"updater-w7.xml");
    PackageList list;
    SetEntry(list, Entry(L"A.zip", L"1"));
    std::wstring error;
    EXPECT_FALSE(WriteStateFile(dir / L"updater-w7.xml", list, error));
    EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;
    EXPECT_FALSE(FileExists(dir / L"updater-w7.xml.new"));
    EXPECT_TRUE(DirectoryExists(dir / L"updater-w7.xml"));
}

TEST(WriteStateFileTest, EveryFieldSurvivesAWriteAndReadAndUnsafeNamesNeverReturn)
{
    TempDir dir;
    WriteTestFile(dir / L"server.xml", "\xEF\xBB\xBF<Updater><version>"
                                       "<Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>"
                                       "<c:evil.zip>1</c:evil.zip>"
                                       "<KDS_lum.ZIP SERVERMISSING=\"true\"> 3.1 </KDS_lum.ZIP>"
                                       "<Amp.zip>a &amp;amp; b &lt;&gt;&quot;&apos;</Amp.zip>"
                                       "<readme.txt>1</readme.txt>"
                                       "</version></Updater>");
    PackageList list;
    std::wstring error;
    ASSERT_TRUE(ReadManifestFile(dir / L"server.xml", list, error)) << error;
    const std::vector<std::wstring> expected = {L"Orvw_Lum.zip=27.0.0.4", L"KDS_lum.ZIP=3.1 !",
                                                L"Amp.zip=a &amp; b <>\"'"};
    EXPECT_EQ(Describe(list), expected);

    // Unsafe names that reach a list by other means are not written either.
    SetEntry(list, Entry(L"..\\..\\escape.zip", L"9"));
    SetEntry(list, Entry(L"sub/inner.zip", L"9"));
    ASSERT_TRUE(WriteStateFile(dir / L"state.xml", list, error)) << error;
    const std::string written = ReadTestFile(dir / L"state.xml");
    EXPECT_EQ(written.find("escape"), std::string::npos);
    EXPECT_EQ(written.find("inner"), std::string::npos);
    EXPECT_EQ(written.find("evil"), std::string::npos);

    PackageList back;
    ASSERT_TRUE(ReadManifestFile(dir / L"state.xml", back, error)) << error;
    EXPECT_EQ(Describe(back), expected);

    // Writing what was read gives the same bytes again.
    ASSERT_TRUE(WriteStateFile(dir / L"again.xml", back, error)) << error;
    EXPECT_EQ(ReadTestFile(dir / L"again.xml"), written);
}

} // namespace

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ManifestTestSupport.h"
#include "manifest/Manifest.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

using namespace orv;

namespace {

std::string Utf16(const std::wstring& text, bool bigEndian = false)
{
    std::string bytes;
    for (const wchar_t c : text) {
        const char low = static_cast<char>(c & 0xFF), high = static_cast<char>((c >> 8) & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

TEST(ReadManifestFileTest, EveryEncodingGivesTheSameList)
{
    const std::wstring wide = L"<Updater><Version><Orvw_Lum.zip>27.0.0.4</Orvw_Lum.zip>"
                              L"<\u00c4pfel.zip servermissing=\"TRUE\">1.2</\u00c4pfel.zip><\u4e2d.zip>3</\u4e2d.zip>"
                              L"</Version></Updater>";
    const std::wstring entries = L"Orvw_Lum.zip=27.0.0.4; \u00c4pfel.zip=1.2 !; \u4e2d.zip=3";
    const std::string utf8 = WideToUtf8(wide);
    TempDir dir;
    const struct {
        const wchar_t* name;
        std::string bytes;
        std::wstring entries;
        std::wstring error;
    } cases[] = {
        {L"utf16.xml", "\xFF\xFE" + Utf16(wide), entries, L""},
        // An odd last byte of UTF-16 text is dropped.
        {L"utf16-odd.xml", "\xFF\xFE" + Utf16(wide) + "A", entries, L""},
        {L"utf8-bom.xml", "\xEF\xBB\xBF" + utf8, entries, L""},
        {L"utf8.xml", utf8, entries, L""},
        // Every other byte order is read as UTF-8. (What a failed read leaves
        // in the list is the document reader's, in its own tests.)
        {L"utf16be.xml", "\xFE\xFF" + Utf16(wide, true), L"", L"The XML does not contain a <version> node."},
    };
    for (const auto& c : cases) {
        WriteTestFile(dir / c.name, c.bytes);
        PackageList list;
        SetEntry(list, {L"Old.zip", L"1"}); // the list is emptied first
        std::wstring error;
        EXPECT_EQ(ReadManifestFile(dir / c.name, list, error), c.error.empty()) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_EQ(Describe(list), c.entries) << c.name;
    }
}

TEST(WriteStateFileTest, StoresUtf8WithoutBomThroughASideFile)
{
    TempDir dir;
    PackageList list;
    SetEntry(list, {L"\u00c4pfel.zip", L"3.1", true});
    const std::wstring path = dir / L"new\\folder\\updater-w7.xml";
    WriteTestFile(path, std::string(500, 'x')); // longer than the new document
    std::wstring error;
    ASSERT_TRUE(WriteStateFile(path, list, error)) << error;
    // The document in UTF-8, no byte-order mark, nothing left of the longer file.
    EXPECT_EQ(ReadTestFile(path), WideToUtf8(BuildStateText(list)));
    EXPECT_FALSE(FileExists(path + L".new"));
    ASSERT_TRUE(WriteStateFile(dir / L"created\\on\\the\\way.xml", list, error)) << error;

    // A folder in the way fails with the system's text and leaves no side file.
    CreateDirectories(dir / L"taken.xml");
    EXPECT_FALSE(WriteStateFile(dir / L"taken.xml", list, error));
    EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;
    EXPECT_FALSE(FileExists(dir / L"taken.xml.new"));
}

} // namespace

#include <gtest/gtest.h>

#include "zip/ZipPackage.h"
#include "zip/ZipTestSupport.h"

namespace {

TEST(ZipValidateTest, OneCaseForEachOutcome)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"infozip-mixed.zip", L""},
        {L"unicode-names.zip", L""},
        // Only the central directory is read: the bytes are checked when inflated.
        {L"crc-deflated.zip", L""},
        // Nameless entries that are not folders pass without a path check and count as files.
        {L"empty-names.zip", L""},
        // Names are reported as the archive stores them.
        {L"hostile-dotdot-slash.zip", L"ZIP contains an unsafe path: ../evil.txt"},
        {L"empty.zip", L"ZIP has no entries."},
        {L"infozip-dirs-only.zip", L"ZIP contains no files."},
        {L"7z-aes-mixed.zip", L"ZIP contains an encrypted or unsupported entry."},
        {L"not-a-zip.zip", L"miniz rejected the ZIP central directory."},
        {L"does-not-exist.zip", L"Cannot open ZIP file."},
    };
    for (const auto& c : cases) {
        std::wstring error;
        EXPECT_EQ(ValidateZipPackage(ZipFixture(c.first), error), *c.second == 0) << c.first;
        EXPECT_EQ(error, c.second) << c.first;
        // Closed on every way out: nothing holds the file afterwards.
        EXPECT_TRUE(LockFile(ZipFixture(c.first)).Valid() || !FileExists(ZipFixture(c.first))) << c.first;
    }
    UniqueFile lock = LockFile(ZipFixture(L"infozip-mixed.zip"));
    std::wstring error;
    EXPECT_FALSE(ValidateZipPackage(ZipFixture(L"infozip-mixed.zip"), error));
    EXPECT_EQ(error, L"Cannot open ZIP file.");
}

} // namespace

#include <gtest/gtest.h>

#include "zip/ZipPackage.h"
#include "zip/ZipTestSupport.h"

namespace {

struct ValidateCase {
    const wchar_t* fixture;
    const wchar_t* error; // empty: the package is accepted
};

void ExpectValidation(const std::initializer_list<ValidateCase>& cases)
{
    for (const ValidateCase& c : cases) {
        std::wstring error;
        const bool accepted = ValidateZipPackage(ZipFixture(c.fixture), error);
        const std::wstring expected = c.error;
        EXPECT_EQ(accepted, expected.empty()) << c.fixture << ": " << error;
        if (!expected.empty()) {
            EXPECT_EQ(error, expected) << c.fixture;
        }
    }
}

TEST(ZipValidateTest, PackagesOfRealProducersAreAccepted)
{
    ExpectValidation({
        {L"infozip-mixed.zip", L""},
        {L"infozip-stored.zip", L""},
        {L"infozip-deflated.zip", L""},
        {L"devices-allowed.zip", L""},
        {L"nested-no-dir-entries.zip", L""},
        {L"unicode-names.zip", L""},
        {L"ansi-name.zip", L""},
        {L"long-243.zip", L""},
    });
}

TEST(ZipValidateTest, UnsafeNamesAreReportedAsStored)
{
    const std::wstring prefix = L"ZIP contains an unsafe path: ";
    ExpectValidation({
        // Forward slashes stay as the archive stored them.
        {L"hostile-dotdot-slash.zip", L"ZIP contains an unsafe path: ../evil.txt"},
        {L"hostile-dotdot-backslash.zip", L"ZIP contains an unsafe path: ..\\evil.txt"},
        {L"hostile-dotdot-nested.zip", L"ZIP contains an unsafe path: a/../../evil.txt"},
        {L"hostile-rooted-slash.zip", L"ZIP contains an unsafe path: /x"},
        {L"hostile-rooted-backslash.zip", L"ZIP contains an unsafe path: \\x"},
        {L"hostile-drive-relative.zip", L"ZIP contains an unsafe path: C:x"},
        {L"hostile-drive-absolute.zip", L"ZIP contains an unsafe path: C:\\x"},
        {L"hostile-drive-forward.zip", L"ZIP contains an unsafe path: C:/x"},
        {L"hostile-unc.zip", L"ZIP contains an unsafe path: \\\\srv\\s\\x"},
        {L"hostile-stream.zip", L"ZIP contains an unsafe path: a.txt:evil"},
        {L"hostile-device-con.zip", L"ZIP contains an unsafe path: CON.txt"},
        {L"hostile-device-nul.zip", L"ZIP contains an unsafe path: nul"},
        {L"hostile-device-lpt1.zip", L"ZIP contains an unsafe path: lpt1.log"},
        {L"hostile-device-com9.zip", L"ZIP contains an unsafe path: COM9"},
        {L"hostile-device-in-folder.zip", L"ZIP contains an unsafe path: folder/Aux.tar.gz"},
        {L"hostile-dot-segment.zip", L"ZIP contains an unsafe path: a/./b.txt"},
        {L"hostile-double-slash.zip", L"ZIP contains an unsafe path: a//b.txt"},
        {L"hostile-trailing-dot-folder.zip", L"ZIP contains an unsafe path: dir./x.txt"},
        {L"hostile-trailing-blank-folder.zip", L"ZIP contains an unsafe path: dir /x.txt"},
        {L"hostile-trailing-dot-file.zip", L"ZIP contains an unsafe path: x.txt."},
        {L"hostile-control-tab.zip", L"ZIP contains an unsafe path: a\tb.txt"},
        {L"hostile-control-bell.zip", L"ZIP contains an unsafe path: bell\x07.txt"},
        {L"hostile-wildcard.zip", L"ZIP contains an unsafe path: what?.txt"},
        {L"hostile-pipe.zip", L"ZIP contains an unsafe path: a|b.txt"},
    });
    std::wstring error;
    EXPECT_FALSE(ValidateZipPackage(ZipFixture(L"hostile-too-long-244.zip"), error));
    EXPECT_EQ(error, prefix + std::wstring(120, L'd') + L"/" + std::wstring(123, L'f'));
}

TEST(ZipValidateTest, EntryKindsDecideWhetherThereIsAnythingToInstall)
{
    ExpectValidation({
        {L"empty.zip", L"ZIP has no entries."},
        {L"infozip-dirs-only.zip", L"ZIP contains no files."},
        {L"slash-only.zip", L"ZIP contains no files."},
        // Nameless entries that are not folders pass without a path check
        // and count as files.
        {L"empty-names.zip", L""},
        {L"empty-name-only.zip", L""},
    });
}

TEST(ZipValidateTest, EncryptedOrUnsupportedEntryAnywhereFails)
{
    ExpectValidation({
        {L"7z-zipcrypto-mixed.zip", L"ZIP contains an encrypted or unsupported entry."},
        {L"7z-aes-mixed.zip", L"ZIP contains an encrypted or unsupported entry."},
        {L"7z-zipcrypto-only.zip", L"ZIP contains an encrypted or unsupported entry."},
        {L"unsupported-method.zip", L"ZIP contains an encrypted or unsupported entry."},
    });
}

TEST(ZipValidateTest, FilesThatCannotBeReadAsZip)
{
    ExpectValidation({
        {L"does-not-exist.zip", L"Cannot open ZIP file."},
        {L"truncated.zip", L"miniz rejected the ZIP central directory."},
        {L"truncated-end.zip", L"miniz rejected the ZIP central directory."},
        {L"not-a-zip.zip", L"miniz rejected the ZIP central directory."},
    });
}

TEST(ZipValidateTest, DamagedDataIsLeftToExtraction)
{
    // Only the central directory is read here; the bytes are checked when
    // they are inflated.
    ExpectValidation({
        {L"crc-stored.zip", L""},
        {L"crc-deflated.zip", L""},
        {L"size-larger.zip", L""},
        {L"size-smaller.zip", L""},
    });
}

TEST(ZipValidateTest, LockedZipCannotBeOpenedAndIsReleasedAfterwards)
{
    TempDir dir;
    const std::wstring zip = dir / L"locked.zip";
    ASSERT_TRUE(::CopyFileW(ZipFixture(L"infozip-mixed.zip").c_str(), zip.c_str(), FALSE));
    {
        UniqueFile lock = LockFile(zip);
        ASSERT_TRUE(lock.Valid());
        std::wstring error;
        EXPECT_FALSE(ValidateZipPackage(zip, error));
        EXPECT_EQ(error, L"Cannot open ZIP file.");
    }
    std::wstring error;
    EXPECT_TRUE(ValidateZipPackage(zip, error)) << error;
}

TEST(ZipValidateTest, ZipIsClosedOnEveryWayOut)
{
    // An exclusive open succeeds only when no stream is left behind.
    for (const wchar_t* fixture : {L"infozip-mixed.zip", L"not-a-zip.zip", L"hostile-dotdot-slash.zip",
                                   L"7z-aes-mixed.zip", L"empty.zip", L"infozip-dirs-only.zip"}) {
        TempDir dir;
        const std::wstring zip = dir / L"package.zip";
        ASSERT_TRUE(::CopyFileW(ZipFixture(fixture).c_str(), zip.c_str(), FALSE));
        std::wstring error;
        ValidateZipPackage(zip, error);
        EXPECT_TRUE(LockFile(zip).Valid()) << fixture;
    }
}

TEST(ZipReaderTest, OpenAndCloseFollowTheReaderState)
{
    {
        ZipReader reader;
        std::wstring error;
        ASSERT_TRUE(OpenZipReader(ZipFixture(L"infozip-mixed.zip"), reader, error)) << error;
        EXPECT_TRUE(reader.initialised);
        EXPECT_NE(reader.stream, nullptr);
        EXPECT_EQ(mz_zip_reader_get_num_files(&reader.archive), 7u);
        reader.Close();
        EXPECT_FALSE(reader.initialised);
        EXPECT_EQ(reader.stream, nullptr);
    }
    {
        // A rejected central directory leaves the stream for the reader to close.
        TempDir dir;
        const std::wstring zip = dir / L"bad.zip";
        ASSERT_TRUE(::CopyFileW(ZipFixture(L"not-a-zip.zip").c_str(), zip.c_str(), FALSE));
        ZipReader reader;
        std::wstring error;
        EXPECT_FALSE(OpenZipReader(zip, reader, error));
        EXPECT_EQ(error, L"miniz rejected the ZIP central directory.");
        EXPECT_FALSE(reader.initialised);
        EXPECT_NE(reader.stream, nullptr);
        EXPECT_FALSE(LockFile(zip).Valid());
        reader.Close();
        EXPECT_TRUE(LockFile(zip).Valid());
    }
    {
        ZipReader reader;
        std::wstring error;
        EXPECT_FALSE(OpenZipReader(ZipFixture(L"missing.zip"), reader, error));
        EXPECT_EQ(error, L"Cannot open ZIP file.");
        EXPECT_EQ(reader.stream, nullptr);
        EXPECT_FALSE(reader.initialised);
    }
}

} // namespace

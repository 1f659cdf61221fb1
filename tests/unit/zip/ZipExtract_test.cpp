#include <gtest/gtest.h>

#include "log/TraceLog.h"
#include "zip/ZipPackage.h"
#include "zip/ZipTestSupport.h"

namespace {

// One extraction into <temp>\out with its trace log beside it (never inside
// the destination, which extraction rebuilds).
struct Extraction {
    Extraction() { log.path = dir / L"trace.log"; }

    bool Run(const std::wstring& zip, const std::wstring& destination = L"")
    {
        return ExtractZipPackageWithPump(zip, destination.empty() ? Out() : destination, log, {}, error);
    }
    std::wstring Out(const std::wstring& relative = L"") const { return JoinPath(dir / L"out", relative); }

    TempDir dir;
    TraceLog log;
    std::wstring error;
};

TEST(ZipExtractTest, AnInfoZipPackageArrivesByteForByteWithOneLinePerFile)
{
    Extraction x;
    const std::wstring zip = ZipFixture(L"infozip-mixed.zip");
    // Leftovers of an earlier run, even read-only ones, never mix in.
    WriteTestFile(x.Out(L"old\\deep\\readonly.dll"), "old");
    WriteTestFile(x.Out(L"top.txt"), "stale content of a file the package also has");
    ASSERT_TRUE(SetReadOnly(x.Out(L"old\\deep\\readonly.dll"), true));
    ASSERT_TRUE(SetReadOnly(x.Out(L"top.txt"), true));
    ASSERT_TRUE(x.Run(zip)) << x.error;
    EXPECT_EQ(ListTree(x.Out()), L"bin\\; bin\\big.bin; bin\\zero.bin; docs\\; docs\\empty\\; docs\\readme.txt; top.txt");
    for (const wchar_t* file : {L"top.txt", L"docs\\readme.txt", L"bin\\big.bin", L"bin\\zero.bin"}) {
        EXPECT_TRUE(ReadTestFile(x.Out(file)) == ReadTestFile(JoinPath(ZipFixture(L"tree"), file))) << file;
    }
    EXPECT_EQ(TraceMessages(x.log.path), (std::vector<std::wstring>{
                                             L"Extraction PASS | ZIP=" + zip + L" | File=top.txt",
                                             L"Extraction PASS | ZIP=" + zip + L" | File=docs\\readme.txt",
                                             L"Extraction PASS | ZIP=" + zip + L" | File=bin\\zero.bin",
                                             L"Extraction PASS | ZIP=" + zip + L" | File=bin\\big.bin"}));
}

TEST(ZipExtractTest, NamesAreCreatedAsDecodedAndNamelessEntriesSkipped)
{
    // Bytes that are not UTF-8 are read in the system ANSI code page.
    wchar_t ansi[16] = {};
    ASSERT_GT(::MultiByteToWideChar(CP_ACP, 0, "caf\xe9.txt", -1, ansi, 16), 0);
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"unicode-names.zip", L"p\u00e4ckage\\; p\u00e4ckage\\\u00fcn\u00efc\u00f8de.txt; \u65e5\u672c.txt"},
        {L"ansi-name.zip", ansi},
        {L"empty-names.zip", L"keep.txt"},
    };
    for (const auto& c : cases) {
        Extraction x;
        ASSERT_TRUE(x.Run(ZipFixture(c.first))) << c.first << L": " << x.error;
        EXPECT_EQ(ListTree(x.Out()), c.second) << c.first;
    }
}

TEST(ZipExtractTest, EntriesMeetingInOneFileKeepTheLaterAndSaySo)
{
    Extraction x;
    const std::wstring zip = ZipFixture(L"case-twins.zip");
    ASSERT_TRUE(x.Run(zip)) << x.error;
    EXPECT_EQ(ListTree(x.Out()), L"Docs\\; Docs\\Read.txt; same.txt");
    EXPECT_EQ(ReadTestFile(x.Out(L"Docs\\Read.txt")), "second\n");
    EXPECT_EQ(ReadTestFile(x.Out(L"same.txt")), "two\n");
    const std::wstring kept = L"Extraction duplicate name; later entry kept | ZIP=" + zip;
    EXPECT_EQ(TraceMessages(x.log.path, L"Extraction duplicate"),
              (std::vector<std::wstring>{kept + L" | Earlier=Docs\\Read.txt | Later=docs\\READ.TXT",
                                         kept + L" | Earlier=same.txt | Later=same.txt"}));
    const std::string log = ReadTestFile(x.log.path);
    EXPECT_EQ(log.find("WARN | ", log.find("WARN | ", log.find("WARN | ") + 1) + 1), std::string::npos)
        << "one warning line per pair";
    EXPECT_NE(log.find("WARN | "), log.rfind("WARN | "));
}

TEST(ZipExtractTest, APackageLargerThanTheFreeSpaceWritesNothing)
{
    // A 1 MiB volume mounted by setup.sh.
    const std::wstring volume = ZipFixture(L"small-volume");
    if (!FileExists(JoinPath(volume, L"mounted"))) {
        GTEST_SKIP() << "no small volume to fill: mounting one needs root";
    }
    Extraction x;
    const std::wstring out = JoinPath(volume, L"out");
    EXPECT_FALSE(x.Run(ZipFixture(L"infozip-mixed.zip"), out));
    ULARGE_INTEGER available{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(out.c_str(), &available, nullptr, nullptr));
    // The four files of the package: 640 + 46890 + 3276800 + 0 bytes.
    EXPECT_EQ(x.error, L"Not enough free disk space to extract the package: it needs 3324330 bytes, but only " +
                           std::to_wstring(available.QuadPart) + L" bytes are free.");
    EXPECT_EQ(ListTree(out), L"");
    // What fits still goes to the same volume.
    EXPECT_TRUE(x.Run(ZipFixture(L"name-18.zip"), out)) << x.error;
    DeleteTree(out);
}

TEST(ZipExtractTest, ALinkPlantedAtTheDestinationIsNeverWrittenThrough)
{
    // Windows removes the link and extracts into a real folder; Wine cannot
    // remove it and the extraction stops. Either way the folder behind it
    // keeps exactly what it had.
    Extraction x;
    x.Run(ZipFixture(L"infozip-mixed.zip"), ZipFixture(L"planted-link"));
    EXPECT_EQ(ListTree(ZipFixture(L"link-target")), L"keep.txt") << x.error;
    EXPECT_EQ(ReadTestFile(ZipFixture(L"link-target\\keep.txt")), "not the package's\n");
}

TEST(ZipExtractTest, EachFailureStopsAtItsEntryWithItsOwnText)
{
    const struct {
        const wchar_t* fixture;
        std::wstring error; // ending in "|": a prefix, followed by the system's text
        std::wstring left;  // what the destination holds afterwards
    } cases[] = {
        // Slashes become backslashes before the name is checked and reported.
        {L"hostile-dotdot-slash.zip", L"Unsafe ZIP path rejected: ..\\evil.txt", L"before.txt"},
        {L"7z-aes-mixed.zip", L"Encrypted or unsupported ZIP entry: b-secret.txt", L"a-plain.txt"},
        // A damaged file is removed, never left half-written.
        {L"crc-deflated.zip", L"CRC, decompression, or size verification failed for: data.txt", L"ok.txt"},
        {L"not-a-zip.zip", L"miniz rejected the ZIP central directory.", L""},
        {L"does-not-exist.zip", L"Cannot open ZIP file.", L""},
        {L"file-then-dir.zip", L"Cannot create extracted directory: \\clash\\sub", L"clash"},
        {L"file-then-child.zip", L"Cannot create extracted file directory: \\clash\\sub", L"clash"},
        {L"dir-then-file.zip", L"Cannot create extracted file: \\clash |", L"clash\\"},
    };
    for (const auto& c : cases) {
        Extraction x;
        EXPECT_FALSE(x.Run(ZipFixture(c.fixture))) << c.fixture;
        std::wstring expected = c.error;
        const size_t path = expected.find(L": \\");
        if (path != std::wstring::npos) {
            expected.insert(path + 2, x.Out());
        }
        if (expected.back() == L'|') {
            EXPECT_EQ(x.error.substr(0, expected.size()), expected) << c.fixture;
            EXPECT_NE(x.error.find(L" (Win32 "), std::wstring::npos) << x.error;
        } else {
            EXPECT_EQ(x.error, expected) << c.fixture;
        }
        EXPECT_EQ(ListTree(x.Out()), c.left) << c.fixture;
        EXPECT_TRUE(LockFile(ZipFixture(c.fixture)).Valid() || !FileExists(ZipFixture(c.fixture)))
            << c.fixture << " is still open";
    }
}

TEST(ZipExtractTest, TargetsStopAtTheWindows7PathLimit)
{
    // An 18-unit name below a 240-unit folder makes 259 units: the most allowed.
    for (const size_t folderUnits : {240u, 241u}) {
        Extraction x;
        std::wstring folder = x.dir.Path() + L"\\";
        folder += std::wstring(folderUnits - folder.size(), L'p');
        const std::wstring target = folder + L"\\nnnnnnnnnnnnnn.txt";
        const bool extracted = x.Run(ZipFixture(L"name-18.zip"), folder);
        EXPECT_EQ(extracted, folderUnits == 240) << x.error;
        EXPECT_EQ(x.error, extracted ? L"" : L"Extracted path exceeds the Windows 7 path limit: " + target);
        EXPECT_EQ(FileExists(target), extracted);
    }
}

TEST(ZipExtractTest, ADestinationThatCannotBeMadeOrEmptiedIsReported)
{
    Extraction x;
    WriteTestFile(x.Out(L"busy.txt"), "held open by another program");
    {
        UniqueFile lock = LockFile(x.Out(L"busy.txt"));
        EXPECT_FALSE(x.Run(ZipFixture(L"infozip-mixed.zip")));
        EXPECT_EQ(x.error, L"Cannot clean prior extraction directory: " + x.Out());
    }
    WriteTestFile(x.dir / L"file", "a file where a folder should go");
    EXPECT_FALSE(x.Run(ZipFixture(L"infozip-mixed.zip"), x.dir / L"file\\out"));
    EXPECT_EQ(x.error, L"Cannot create extraction directory: " + (x.dir / L"file\\out"));
}

} // namespace

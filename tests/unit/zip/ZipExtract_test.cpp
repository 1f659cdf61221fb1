#include <gtest/gtest.h>

#include <vector>

#include "log/TraceLog.h"
#include "zip/ZipPackage.h"
#include "zip/ZipTestSupport.h"

namespace {

using Listing = std::vector<std::wstring>;

// One extraction into <temp>\out with a trace log beside it (never inside
// the destination, which extraction rebuilds).
class Extraction {
public:
    Extraction() { log.path = dir / L"trace.log"; }

    bool Run(const std::wstring& zip, const ProgressTick& pump = ProgressTick())
    {
        error.clear();
        return ExtractZipPackageWithPump(zip, Out(), log, pump, error);
    }
    bool RunFixture(const std::wstring& fixture) { return Run(ZipFixture(fixture)); }

    std::wstring Out() const { return dir / L"out"; }
    std::wstring Out(const std::wstring& relative) const { return JoinPath(Out(), relative); }
    Listing Extracted() const { return ListTree(Out()); }
    // Everything in the temporary folder except the log: the destination
    // and what is inside it.
    Listing Everything() const
    {
        Listing all = ListTree(dir.Path());
        all.erase(std::remove(all.begin(), all.end(), L"trace.log"), all.end());
        return all;
    }
    std::vector<std::wstring> PassLines() const { return LinesFrom(L"Extraction PASS"); }
    // Each trace line holding marker, from the marker on.
    std::vector<std::wstring> LinesFrom(const std::wstring& marker) const
    {
        std::vector<std::wstring> lines;
        const std::wstring text = Utf8ToWide(ReadTestFile(log.path));
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(L"\r\n", start);
            if (end == std::wstring::npos) {
                end = text.size();
            }
            const std::wstring line = text.substr(start, end - start);
            const size_t at = line.find(marker);
            if (at != std::wstring::npos) {
                lines.push_back(line.substr(at));
            }
            start = end + 2;
        }
        return lines;
    }

    TempDir dir;
    TraceLog log;
    std::wstring error;
};

TEST(ZipExtractTest, InfoZipPackagesExtractByteForByte)
{
    const Listing expected = {L"bin\\",          L"bin\\big.bin", L"bin\\zero.bin", L"docs\\",
                              L"docs\\empty\\", L"docs\\readme.txt", L"top.txt"};
    for (const wchar_t* fixture : {L"infozip-mixed.zip", L"infozip-stored.zip", L"infozip-deflated.zip"}) {
        Extraction x;
        const std::wstring zip = ZipFixture(fixture);
        ASSERT_TRUE(x.Run(zip)) << fixture << ": " << x.error;
        EXPECT_EQ(x.Extracted(), expected) << fixture;
        for (const wchar_t* file : {L"top.txt", L"docs\\readme.txt", L"bin\\big.bin", L"bin\\zero.bin"}) {
            EXPECT_TRUE(FilesEqual(x.Out(file), ZipFixtureTree(file))) << fixture << " " << file;
        }
        // One line per file written, in archive order; folders get none.
        const std::vector<std::wstring> expectedLines = {
            L"Extraction PASS | ZIP=" + zip + L" | File=top.txt",
            L"Extraction PASS | ZIP=" + zip + L" | File=docs\\readme.txt",
            L"Extraction PASS | ZIP=" + zip + L" | File=bin\\zero.bin",
            L"Extraction PASS | ZIP=" + zip + L" | File=bin\\big.bin",
        };
        EXPECT_EQ(x.PassLines(), expectedLines) << fixture;
    }
}

TEST(ZipExtractTest, NamesAreCreatedAsDecoded)
{
    {
        Extraction x;
        ASSERT_TRUE(x.RunFixture(L"unicode-names.zip")) << x.error;
        EXPECT_EQ(ReadTestFile(x.Out(L"p\u00e4ckage\\\u00fcn\u00efc\u00f8de.txt")), "utf-8 name\n");
        EXPECT_EQ(ReadTestFile(x.Out(L"\u65e5\u672c.txt")), "cjk name\n");
    }
    {
        // Bytes that are not UTF-8 are read in the system ANSI code page.
        Extraction x;
        ASSERT_TRUE(x.RunFixture(L"ansi-name.zip")) << x.error;
        const char stored[] = "caf\xe9.txt";
        wchar_t name[32] = {};
        ASSERT_GT(::MultiByteToWideChar(CP_ACP, 0, stored, -1, name, 32), 0);
        EXPECT_EQ(x.Extracted(), Listing{name});
        EXPECT_EQ(ReadTestFile(x.Out(name)), "ansi name\n");
    }
    {
        Extraction x;
        ASSERT_TRUE(x.RunFixture(L"devices-allowed.zip")) << x.error;
        EXPECT_EQ(x.Extracted(), (Listing{L"com0.txt", L"com10", L"console.txt", L"lpt0", L"nullx"}));
        EXPECT_EQ(ReadTestFile(x.Out(L"com10")), "com10\n");
    }
}

TEST(ZipExtractTest, FoldersComeFromEntriesOrFromFilePaths)
{
    {
        Extraction x;
        ASSERT_TRUE(x.RunFixture(L"nested-no-dir-entries.zip")) << x.error;
        EXPECT_EQ(x.Extracted(), (Listing{L"nested\\", L"nested\\b.txt", L"nested\\deeper\\",
                                          L"nested\\deeper\\a.txt"}));
    }
    {
        // Only folders: nothing to install, but extraction itself succeeds.
        Extraction x;
        ASSERT_TRUE(x.RunFixture(L"infozip-dirs-only.zip")) << x.error;
        EXPECT_EQ(x.Extracted(), (Listing{L"a\\", L"a\\b\\", L"c\\"}));
        EXPECT_TRUE(x.PassLines().empty());
    }
}

TEST(ZipExtractTest, NamelessEntriesAreSkipped)
{
    {
        Extraction x;
        ASSERT_TRUE(x.RunFixture(L"empty-names.zip")) << x.error;
        EXPECT_EQ(x.Everything(), (Listing{L"out\\", L"out\\keep.txt"}));
        EXPECT_EQ(x.PassLines().size(), 1u);
    }
    for (const wchar_t* fixture : {L"empty-name-only.zip", L"empty.zip", L"slash-only.zip"}) {
        Extraction x;
        ASSERT_TRUE(x.RunFixture(fixture)) << fixture << ": " << x.error;
        EXPECT_EQ(x.Everything(), Listing{L"out\\"}) << fixture;
    }
}

TEST(ZipExtractTest, EntriesMeetingInOneFileKeepTheLaterAndSaySo)
{
    Extraction x;
    const std::wstring zip = ZipFixture(L"case-twins.zip");
    ASSERT_TRUE(x.Run(zip)) << x.error;
    EXPECT_EQ(x.Extracted(), (Listing{L"Docs\\", L"Docs\\Read.txt", L"same.txt"}));
    EXPECT_EQ(ReadTestFile(x.Out(L"Docs\\Read.txt")), "second\n");
    EXPECT_EQ(ReadTestFile(x.Out(L"same.txt")), "two\n");
    const std::wstring kept = L"Extraction duplicate name; later entry kept | ZIP=" + zip;
    EXPECT_EQ(x.LinesFrom(L"WARN | ").size(), 2u) << "one warning line per pair";
    EXPECT_EQ(x.LinesFrom(L"Extraction duplicate"),
              (std::vector<std::wstring>{kept + L" | Earlier=Docs\\Read.txt | Later=docs\\READ.TXT",
                                         kept + L" | Earlier=same.txt | Later=same.txt"}));
}

TEST(ZipExtractTest, APackageLargerThanTheFreeSpaceWritesNothing)
{
    // A 1 MiB volume mounted by setup.sh.
    const std::wstring volume = ZipFixture(L"small-volume");
    if (!FileExists(JoinPath(volume, L"mounted"))) {
        GTEST_SKIP() << "no small volume to fill: mounting one needs root";
    }
    TempDir dir;
    TraceLog log;
    log.path = dir / L"trace.log";
    const std::wstring out = JoinPath(volume, L"out");
    uint64_t needed = 0;
    for (const wchar_t* file : {L"top.txt", L"docs\\readme.txt", L"bin\\big.bin", L"bin\\zero.bin"}) {
        needed += GetFileSize64(ZipFixtureTree(file));
    }
    std::wstring error;
    EXPECT_FALSE(ExtractZipPackageWithPump(ZipFixture(L"infozip-mixed.zip"), out, log, {}, error));
    ULARGE_INTEGER available{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(out.c_str(), &available, nullptr, nullptr));
    EXPECT_EQ(error, L"Not enough free disk space to extract the package: it needs " + std::to_wstring(needed) +
                         L" bytes, but only " + std::to_wstring(available.QuadPart) + L" bytes are free.");
    EXPECT_EQ(ListTree(out), Listing{});
    // What fits still goes to the same volume.
    EXPECT_TRUE(ExtractZipPackageWithPump(ZipFixture(L"name-18.zip"), out, log, {}, error)) << error;
    DeleteTree(out);
}

struct HostileCase {
    const wchar_t* fixture;
    const wchar_t* error;
};

TEST(ZipExtractTest, UnsafeNamesStopExtractionAndWriteNothingForThem)
{
    const HostileCase cases[] = {
        // Slashes become backslashes before the name is checked and reported.
        {L"hostile-dotdot-slash.zip", L"Unsafe ZIP path rejected: ..\\evil.txt"},
        {L"hostile-dotdot-backslash.zip", L"Unsafe ZIP path rejected: ..\\evil.txt"},
        {L"hostile-dotdot-nested.zip", L"Unsafe ZIP path rejected: a\\..\\..\\evil.txt"},
        {L"hostile-rooted-slash.zip", L"Unsafe ZIP path rejected: \\x"},
        {L"hostile-rooted-backslash.zip", L"Unsafe ZIP path rejected: \\x"},
        {L"hostile-drive-relative.zip", L"Unsafe ZIP path rejected: C:x"},
        {L"hostile-drive-absolute.zip", L"Unsafe ZIP path rejected: C:\\x"},
        {L"hostile-drive-forward.zip", L"Unsafe ZIP path rejected: C:\\x"},
        {L"hostile-unc.zip", L"Unsafe ZIP path rejected: \\\\srv\\s\\x"},
        {L"hostile-stream.zip", L"Unsafe ZIP path rejected: a.txt:evil"},
        {L"hostile-device-con.zip", L"Unsafe ZIP path rejected: CON.txt"},
        {L"hostile-device-nul.zip", L"Unsafe ZIP path rejected: nul"},
        {L"hostile-device-lpt1.zip", L"Unsafe ZIP path rejected: lpt1.log"},
        {L"hostile-device-com9.zip", L"Unsafe ZIP path rejected: COM9"},
        {L"hostile-device-in-folder.zip", L"Unsafe ZIP path rejected: folder\\Aux.tar.gz"},
        {L"hostile-dot-segment.zip", L"Unsafe ZIP path rejected: a\\.\\b.txt"},
        {L"hostile-double-slash.zip", L"Unsafe ZIP path rejected: a\\\\b.txt"},
        {L"hostile-trailing-dot-folder.zip", L"Unsafe ZIP path rejected: dir.\\x.txt"},
        {L"hostile-trailing-blank-folder.zip", L"Unsafe ZIP path rejected: dir \\x.txt"},
        {L"hostile-trailing-dot-file.zip", L"Unsafe ZIP path rejected: x.txt."},
        {L"hostile-control-tab.zip", L"Unsafe ZIP path rejected: a\tb.txt"},
        {L"hostile-control-bell.zip", L"Unsafe ZIP path rejected: bell\x07.txt"},
        {L"hostile-wildcard.zip", L"Unsafe ZIP path rejected: what?.txt"},
        {L"hostile-pipe.zip", L"Unsafe ZIP path rejected: a|b.txt"},
    };
    for (const HostileCase& c : cases) {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(c.fixture)) << c.fixture;
        EXPECT_EQ(x.error, c.error) << c.fixture;
        // The entry before the bad one is there, nothing of it or after it.
        EXPECT_EQ(x.Everything(), (Listing{L"out\\", L"out\\before.txt"})) << c.fixture;
    }
    EXPECT_FALSE(FileExists(L"C:\\x"));
}

TEST(ZipExtractTest, PathLengthLimits)
{
    {
        // A safe 243-unit name still makes a target beyond 259 units here.
        Extraction x;
        EXPECT_FALSE(x.RunFixture(L"long-243.zip"));
        EXPECT_EQ(x.error, L"Extracted path exceeds the Windows 7 path limit: " +
                               x.Out(std::wstring(120, L'd') + L"\\" + std::wstring(122, L'f')));
        EXPECT_EQ(x.Everything(), Listing{L"out\\"});
    }
    {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(L"hostile-too-long-244.zip"));
        EXPECT_EQ(x.error, L"Unsafe ZIP path rejected: " + std::wstring(120, L'd') + L"\\" +
                               std::wstring(123, L'f'));
    }
    // An 18-unit name below a 240-unit folder: 240 + 1 + 18 = 259 units.
    const std::wstring name = std::wstring(14, L'n') + L".txt";
    for (size_t folderUnits : {240u, 241u}) {
        TempDir dir;
        TraceLog log;
        std::wstring folder = dir.Path() + L"\\";
        ASSERT_LT(folder.size(), folderUnits);
        folder += std::wstring(folderUnits - folder.size(), L'p');
        ASSERT_EQ(folder.size(), folderUnits);
        std::wstring error;
        const bool extracted = ExtractZipPackageWithPump(ZipFixture(L"name-18.zip"), folder, log, {}, error);
        const std::wstring target = folder + L"\\" + name;
        if (folderUnits == 240) {
            EXPECT_TRUE(extracted) << error;
            EXPECT_EQ(ReadTestFile(target), "eighteen\n");
        } else {
            EXPECT_FALSE(extracted);
            EXPECT_EQ(target.size(), 260u);
            EXPECT_EQ(error, L"Extracted path exceeds the Windows 7 path limit: " + target);
            EXPECT_FALSE(FileExists(target));
        }
    }
}

TEST(ZipExtractTest, DamagedEntriesLeaveNoFileBehind)
{
    for (const wchar_t* fixture : {L"crc-stored.zip", L"crc-deflated.zip", L"size-larger.zip", L"size-smaller.zip"}) {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(fixture)) << fixture;
        EXPECT_EQ(x.error, L"CRC, decompression, or size verification failed for: data.txt") << fixture;
        EXPECT_EQ(x.Extracted(), Listing{L"ok.txt"}) << fixture;
        EXPECT_EQ(x.PassLines().size(), 1u) << fixture;
    }
}

TEST(ZipExtractTest, EncryptedOrUnsupportedEntryStopsExtraction)
{
    const HostileCase cases[] = {
        {L"7z-zipcrypto-mixed.zip", L"Encrypted or unsupported ZIP entry: b-secret.txt"},
        {L"7z-aes-mixed.zip", L"Encrypted or unsupported ZIP entry: b-secret.txt"},
        {L"unsupported-method.zip", L"Encrypted or unsupported ZIP entry: packed.bin"},
    };
    for (const HostileCase& c : cases) {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(c.fixture)) << c.fixture;
        EXPECT_EQ(x.error, c.error) << c.fixture;
    }
    Extraction x;
    EXPECT_FALSE(x.RunFixture(L"7z-aes-mixed.zip"));
    EXPECT_EQ(x.Extracted(), Listing{L"a-plain.txt"});
    EXPECT_EQ(ReadTestFile(x.Out(L"a-plain.txt")), "plain before\n");
}

TEST(ZipExtractTest, UnreadableZipLeavesAnEmptyDestination)
{
    const HostileCase cases[] = {
        {L"does-not-exist.zip", L"Cannot open ZIP file."},
        {L"truncated.zip", L"miniz rejected the ZIP central directory."},
        {L"not-a-zip.zip", L"miniz rejected the ZIP central directory."},
    };
    for (const HostileCase& c : cases) {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(c.fixture)) << c.fixture;
        EXPECT_EQ(x.error, c.error) << c.fixture;
        EXPECT_EQ(x.Everything(), Listing{L"out\\"}) << c.fixture;
    }
    Extraction x;
    const std::wstring zip = x.dir / L"locked.zip";
    ASSERT_TRUE(::CopyFileW(ZipFixture(L"infozip-mixed.zip").c_str(), zip.c_str(), FALSE));
    {
        UniqueFile lock = LockFile(zip);
        ASSERT_TRUE(lock.Valid());
        EXPECT_FALSE(x.Run(zip));
        EXPECT_EQ(x.error, L"Cannot open ZIP file.");
    }
    EXPECT_TRUE(x.Run(zip)) << x.error;
}

TEST(ZipExtractTest, DestinationIsRebuiltFromEmpty)
{
    Extraction x;
    WriteTestFile(x.Out(L"stale.txt"), "old");
    WriteTestFile(x.Out(L"old\\deep\\readonly.dll"), "old");
    WriteTestFile(x.Out(L"top.txt"), "stale content of a file the package also has");
    ASSERT_TRUE(SetReadOnly(x.Out(L"old\\deep\\readonly.dll"), true));
    ASSERT_TRUE(SetReadOnly(x.Out(L"top.txt"), true));
    ASSERT_TRUE(x.RunFixture(L"nested-no-dir-entries.zip")) << x.error;
    EXPECT_EQ(x.Extracted(), (Listing{L"nested\\", L"nested\\b.txt", L"nested\\deeper\\",
                                      L"nested\\deeper\\a.txt"}));
}

TEST(ZipExtractTest, DestinationProblemsAreReported)
{
    {
        // A leftover held open by another program cannot be removed.
        Extraction x;
        WriteTestFile(x.Out(L"busy.txt"), "busy");
        UniqueFile lock = LockFile(x.Out(L"busy.txt"));
        ASSERT_TRUE(lock.Valid());
        EXPECT_FALSE(x.RunFixture(L"infozip-mixed.zip"));
        EXPECT_EQ(x.error, L"Cannot clean prior extraction directory: " + x.Out());
    }
    {
        TempDir dir;
        TraceLog log;
        WriteTestFile(dir / L"file", "a file where a folder should go");
        const std::wstring destination = dir / L"file\\out";
        std::wstring error;
        EXPECT_FALSE(ExtractZipPackageWithPump(ZipFixture(L"infozip-mixed.zip"), destination, log, {}, error));
        EXPECT_EQ(error, L"Cannot create extraction directory: " + destination);
    }
}

TEST(ZipExtractTest, ALinkPlantedAtTheDestinationIsNeverWrittenThrough)
{
    // Windows removes the link and extracts into a real folder; Wine cannot
    // remove it and the extraction stops. Either way the folder behind it
    // keeps exactly what it had.
    TempDir dir;
    TraceLog log;
    log.path = dir / L"trace.log";
    std::wstring error;
    ExtractZipPackageWithPump(ZipFixture(L"infozip-mixed.zip"), ZipFixture(L"planted-link"), log, {}, error);
    EXPECT_EQ(ListTree(ZipFixture(L"link-target")), Listing{L"keep.txt"}) << error;
    EXPECT_EQ(ReadTestFile(ZipFixture(L"link-target\\keep.txt")), "not the package's\n");
}

TEST(ZipExtractTest, FileAndFolderOfTheSameName)
{
    {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(L"file-then-dir.zip"));
        EXPECT_EQ(x.error, L"Cannot create extracted directory: " + x.Out(L"clash\\sub"));
    }
    {
        Extraction x;
        EXPECT_FALSE(x.RunFixture(L"file-then-child.zip"));
        EXPECT_EQ(x.error, L"Cannot create extracted file directory: " + x.Out(L"clash\\sub"));
    }
    {
        // The Win32 sentence differs between systems; its code suffix does not.
        Extraction x;
        EXPECT_FALSE(x.RunFixture(L"dir-then-file.zip"));
        const std::wstring prefix = L"Cannot create extracted file: " + x.Out(L"clash") + L" | ";
        EXPECT_EQ(x.error.substr(0, prefix.size()), prefix);
        EXPECT_NE(x.error.find(L" (Win32 "), std::wstring::npos) << x.error;
        EXPECT_TRUE(DirectoryExists(x.Out(L"clash")));
    }
}

TEST(ZipExtractTest, PumpsMessagesForEveryEntry)
{
    Extraction x;
    int pumps = 0;
    ASSERT_TRUE(x.Run(ZipFixture(L"infozip-mixed.zip"), [&pumps]() { ++pumps; })) << x.error;
    EXPECT_GE(pumps, 7);
}

TEST(ZipExtractTest, ZipIsClosedOnEveryWayOut)
{
    for (const wchar_t* fixture : {L"infozip-mixed.zip", L"crc-deflated.zip", L"hostile-dotdot-slash.zip",
                                   L"7z-zipcrypto-mixed.zip", L"not-a-zip.zip", L"long-243.zip"}) {
        Extraction x;
        const std::wstring zip = x.dir / L"package.zip";
        ASSERT_TRUE(::CopyFileW(ZipFixture(fixture).c_str(), zip.c_str(), FALSE));
        x.Run(zip);
        EXPECT_TRUE(LockFile(zip).Valid()) << fixture;
    }
}

} // namespace

// Extraction where the package scenarios cannot look: a window closed while
// files are written, and packages or destinations that cannot be opened,
// emptied or made.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"
#include "zip/ZipPackage.h"
#include "zip/ZipReader.h"

using namespace orv;

namespace {

struct Package {
    // Two files, written with miniz's own writer.
    Package()
    {
        log.path = dir / L"trace.log";
        for (const char* name : {"a.txt", "dir/b.bin"}) {
            EXPECT_TRUE(mz_zip_add_mem_to_archive_file_in_place(WideToUtf8(zip).c_str(), name, body.data(), body.size(),
                                                                nullptr, 0, MZ_DEFAULT_COMPRESSION));
        }
    }

    TempDir dir;
    TraceLog log;
    const std::wstring zip = dir / L"package.zip";
    const std::string body = std::string(300000, 'x') + "end";
    std::wstring error;
};

// A close the user asks for while files are written is handled during the
// extraction, which itself carries on to the end.
TEST(ZipPackageTest, ExtractionKeepsTheWindowAliveAndWhatCannotBeOpenedEmptiedOrMadeIsNamed)
{
    Package p;
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());
    ASSERT_TRUE(::PostMessageW(window.Handle(), WM_CLOSE, 0, 0));
    EXPECT_TRUE(ExtractZipPackage(p.zip, p.dir / L"out", p.log, [&window] { window.PumpMessages(); }, p.error)) << p.error;
    EXPECT_TRUE(window.CloseRequested() && window.Handle() == nullptr);
    EXPECT_TRUE(ReadTestFile(p.dir / L"out\\dir\\b.bin") == p.body);

    // What cannot be opened, emptied or made is named.
    EXPECT_FALSE(ValidateZipPackage(p.dir / L"missing.zip", p.error));
    EXPECT_EQ(p.error, L"Cannot open ZIP file.");
    WriteTestFile(p.dir / L"text.zip", "no archive");
    EXPECT_FALSE(ValidateZipPackage(p.dir / L"text.zip", p.error));
    EXPECT_TRUE(LockFile(p.dir / L"text.zip").Valid()) << "the package is closed on every way out";
    {
        UniqueFile lock = LockFile(p.zip);
        EXPECT_FALSE(ValidateZipPackage(p.zip, p.error));
        EXPECT_EQ(p.error, L"Cannot open ZIP file.");
    }
    WriteTestFile(p.dir / L"out\\busy.txt", "held open by another program");
    {
        UniqueFile lock = LockFile(p.dir / L"out\\busy.txt");
        EXPECT_FALSE(ExtractZipPackage(p.zip, p.dir / L"out", p.log, {}, p.error));
        EXPECT_EQ(p.error, L"Cannot clean prior extraction directory: " + (p.dir / L"out"));
    }
    EXPECT_FALSE(ExtractZipPackage(p.zip, p.dir / L"text.zip\\out", p.log, {}, p.error));
    EXPECT_EQ(p.error, L"Cannot create extraction directory: " + (p.dir / L"text.zip\\out"));
}

} // namespace

TEST(ZipWriteTest, WritesEachPieceAtItsOffset)
{
    // The offset, not the call order, places data, whether or not a piece
    // follows on from the one before. (Extraction, which writes in order,
    // is proven byte for byte by the package scenarios.)
    const struct {
        const char* what;
        std::vector<std::pair<uint64_t, std::string>> pieces; // offset, data
        std::string expected;
    } cases[] = {
        {"out of order", {{11, "second-part"}, {0, "first-part:"}}, "first-part:second-part"},
        {"back after following on", {{0, "ab"}, {2, "cd"}, {1, "X"}, {4, "ef"}}, "aXcdef"},
        {"past the end after a step back", {{0, "abcd"}, {1, "X"}, {5, "f"}}, std::string("aXcd\0f", 6)},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::wstring path = dir / L"out.bin";
        {
            UniqueFile file(
                ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(file.Valid()) << c.what;
            ExtractWriteContext context(nullptr);
            context.file = file.Get();
            for (const auto& piece : c.pieces) {
                EXPECT_EQ(WriteExtractedChunk(&context, piece.first, piece.second.data(), piece.second.size()),
                          piece.second.size())
                    << c.what;
            }
            EXPECT_FALSE(context.failed) << c.what;
        }
        EXPECT_EQ(ReadTestFile(path), c.expected) << c.what;
    }
}

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "zip/ZipPackage.h"
#include "zip/ZipReader.h"

using namespace orv;

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

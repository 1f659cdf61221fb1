#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zip/ZipPackage.h"
#include "zip/ZipTestSupport.h"

namespace {

UniqueFile CreateTarget(const std::wstring& path, DWORD access = GENERIC_WRITE)
{
    return UniqueFile(::CreateFileW(path.c_str(), access, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    }
    return data;
}

TEST(ZipWriteTest, WritesEachPieceAtItsOffset)
{
    struct Piece {
        uint64_t offset;
        std::string data;
    };
    struct Case {
        const char* what;
        std::vector<Piece> pieces;
        std::string expected;
    };
    // The offset, not the call order, places data, whether or not a piece
    // follows on from the one before.
    const Case cases[] = {
        {"in order", {{0, "first-part:"}, {11, "second-part"}}, "first-part:second-part"},
        {"out of order", {{11, "second-part"}, {0, "first-part:"}}, "first-part:second-part"},
        {"back after following on", {{0, "ab"}, {2, "cd"}, {1, "X"}, {4, "ef"}}, "aXcdef"},
        {"past the end after a step back", {{0, "abcd"}, {1, "X"}, {5, "f"}}, std::string("aXcd\0f", 6)},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::wstring path = dir / L"out.bin";
        {
            UniqueFile file = CreateTarget(path);
            ASSERT_TRUE(file.Valid()) << c.what;
            ExtractWriteContext context(nullptr);
            context.file = file.Get();
            for (const Piece& piece : c.pieces) {
                EXPECT_EQ(WriteExtractedChunk(&context, piece.offset, piece.data.data(), piece.data.size()),
                          piece.data.size())
                    << c.what;
            }
            EXPECT_FALSE(context.failed) << c.what;
        }
        EXPECT_EQ(ReadTestFile(path), c.expected) << c.what;
    }
}

TEST(ZipWriteTest, NothingIsWrittenWithoutAUsableContext)
{
    TempDir dir;
    const std::wstring path = dir / L"out.bin";
    const std::string data = "data";
    UniqueFile file = CreateTarget(path);
    ASSERT_TRUE(file.Valid());

    EXPECT_EQ(WriteExtractedChunk(nullptr, 0, data.data(), data.size()), 0u);

    ExtractWriteContext noFile(nullptr);
    EXPECT_EQ(WriteExtractedChunk(&noFile, 0, data.data(), data.size()), 0u);

    ExtractWriteContext failedBefore(nullptr);
    failedBefore.file = file.Get();
    failedBefore.failed = true;
    EXPECT_EQ(WriteExtractedChunk(&failedBefore, 0, data.data(), data.size()), 0u);

    ExtractWriteContext empty(nullptr);
    empty.file = file.Get();
    EXPECT_EQ(WriteExtractedChunk(&empty, 0, data.data(), 0), 0u);
    EXPECT_FALSE(empty.failed);

    file.Reset();
    EXPECT_EQ(ReadTestFile(path), "");
}

TEST(ZipWriteTest, FailedWriteSetsTheFlagAndReportsAShortCount)
{
    TempDir dir;
    const std::wstring path = dir / L"readonly-handle.bin";
    UniqueFile file = CreateTarget(path, GENERIC_READ);
    ASSERT_TRUE(file.Valid());
    ExtractWriteContext context(nullptr);
    context.file = file.Get();
    const std::string data = Pattern(1000);
    EXPECT_LT(WriteExtractedChunk(&context, 0, data.data(), data.size()), data.size());
    EXPECT_TRUE(context.failed);
    // Once failed, later pieces are refused too.
    EXPECT_EQ(WriteExtractedChunk(&context, 0, data.data(), data.size()), 0u);
}

TEST(ZipWriteTest, LargeDataIsWrittenInPiecesOfOneMebibyte)
{
    TempDir dir;
    const std::wstring path = dir / L"big.bin";
    const std::string data = Pattern(3 * kExtractWritePiece + kExtractWritePiece / 2);
    int pumps = 0;
    // Each pump outlasts the interval, so every piece after it may pump again:
    // the count of pumps is the count of pieces.
    const ProgressTick pump = [&pumps]() {
        ++pumps;
        ::Sleep(kExtractPumpIntervalMs + 20);
    };
    {
        UniqueFile file = CreateTarget(path);
        ASSERT_TRUE(file.Valid());
        ExtractWriteContext context(&pump);
        context.file = file.Get();
        context.lastPumpTick = ::GetTickCount() - 10 * kExtractPumpIntervalMs;
        EXPECT_EQ(WriteExtractedChunk(&context, 0, data.data(), data.size()), data.size());
    }
    EXPECT_EQ(pumps, 4);
    EXPECT_TRUE(ReadTestFile(path) == data);
}

TEST(ZipWriteTest, PumpingIsThrottledWhileWriting)
{
    TempDir dir;
    const std::wstring path = dir / L"big.bin";
    const std::string data = Pattern(8 * kExtractWritePiece);
    int pumps = 0;
    const ProgressTick pump = [&pumps]() { ++pumps; };
    UniqueFile file = CreateTarget(path);
    ASSERT_TRUE(file.Valid());
    ExtractWriteContext context(&pump);
    context.file = file.Get();
    // The last pump was long ago: the first piece pumps, later ones only
    // once a full interval has passed again.
    const DWORD started = ::GetTickCount();
    context.lastPumpTick = started - 10 * kExtractPumpIntervalMs;
    EXPECT_EQ(WriteExtractedChunk(&context, 0, data.data(), data.size()), data.size());
    const DWORD elapsed = ::GetTickCount() - started;
    EXPECT_GE(pumps, 1);
    EXPECT_LE(static_cast<DWORD>(pumps), 1 + elapsed / kExtractPumpIntervalMs) << "elapsed ms: " << elapsed;

    // No pump at all when none is attached, whatever the time.
    ExtractWriteContext silent(nullptr);
    silent.file = file.Get();
    silent.lastPumpTick = ::GetTickCount() - 10 * kExtractPumpIntervalMs;
    const int before = pumps;
    EXPECT_EQ(WriteExtractedChunk(&silent, 0, data.data(), data.size()), data.size());
    EXPECT_EQ(pumps, before);
}

} // namespace

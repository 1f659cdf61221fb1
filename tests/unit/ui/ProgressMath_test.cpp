#include <gtest/gtest.h>

#include <cstdint>

#include "ui/ProgressMath.h"

namespace {

TEST(ProgressMathTest, FormatByteSizeTruncatesAtEachUnitBoundary)
{
    const struct {
        uint64_t bytes;
        const wchar_t* expected;
    } cases[] = {
        {0, L"0 bytes"},       {1023, L"1023 bytes"},  {1024, L"1 KB"},           {2047, L"1 KB"},
        {1048575, L"1023 KB"}, {1048576, L"1 MB"},     {5000000000ULL, L"4768 MB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatByteSize(c.bytes), c.expected) << c.bytes;
    }
}

TEST(ProgressMathTest, OverallPositionIsTruncatedAndKeptInsideTheBar)
{
    const struct {
        int32_t done;
        int32_t total;
        int expected;
    } cases[] = {
        {3, 4, 750}, {5, 4, 1000}, {0, 4, 0}, {1, 0, 0}, {999, 1000, 999}, {1, 1001, 0}, {-1, 4, 0}, {3, -4, 0},
        // done * 1000 does not fit 32 bits here.
        {INT32_MAX, INT32_MAX, 1000}, {INT32_MAX / 2, INT32_MAX, 499},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OverallPosition(c.done, c.total), c.expected) << c.done << "/" << c.total;
    }
}

// Every count the window can receive: up to the downloader's clamp.
TEST(ProgressMathTest, DownloadBarPercentAndLineForKnownTotals)
{
    const struct {
        uint32_t received;
        uint32_t total;
        int position;
        const wchar_t* line;
    } cases[] = {
        {1572864, 3145728, 500, L"Downloaded 1 MB / 3 MB (50%)"},
        {0, 3145728, 0, L"Downloaded 0 bytes / 3 MB (0%)"},
        {999, 1000, 999, L"Downloaded 999 bytes / 1000 bytes (99%)"},
        // More than announced: the bar stays full, the percent tells the truth.
        {3000, 1000, 1000, L"Downloaded 2 KB / 1000 bytes (300%)"},
        {INT32_MAX, INT32_MAX, 1000, L"Downloaded 2047 MB / 2047 MB (100%)"},
        {INT32_MAX - 1, INT32_MAX, 999, L"Downloaded 2047 MB / 2047 MB (99%)"},
        {INT32_MAX, 1, 1000, L"Downloaded 2047 MB / 1 bytes (214748364700%)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadPosition(c.received, c.total), c.position) << c.received << "/" << c.total;
        EXPECT_EQ(DownloadLineText(c.received, c.total), c.line);
    }
}

TEST(ProgressMathTest, UnknownTotalSweepsAndCountsBytesOnly)
{
    const struct {
        uint32_t tick;
        int position;
    } sweep[] = {{0, 50}, {24, 50}, {25, 51}, {22499, 949}, {22500, 50}, {UINT32_MAX, 441}};
    for (const auto& c : sweep) {
        EXPECT_EQ(SweepPosition(c.tick), c.position) << c.tick;
    }
    EXPECT_EQ(DownloadLineText(0, 0), L"Connecting to server...");
    EXPECT_EQ(DownloadLineText(2048, 0), L"Downloaded 2 KB");
}

} // namespace

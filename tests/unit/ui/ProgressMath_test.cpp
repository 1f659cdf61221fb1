#include <gtest/gtest.h>

#include <cstdint>

#include "ui/ProgressMath.h"

using namespace orv;

TEST(ProgressMathTest, SizesBarPositionsAndTheDownloadLine)
{
    const std::pair<uint64_t, const wchar_t*> cases[] = {
        {0, L"0 bytes"}, {1023, L"1023 bytes"}, {1024, L"1 KB"}, {2047, L"1 KB"}, {1048575, L"1023 KB"},
        {1048576, L"1 MB"}, {5000000000ULL, L"4768 MB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatByteSize(c.first), c.second) << c.first;
    }
    // Positions are tenths of a percent, truncated and kept inside the bar, for
    // every count the window can receive (up to the downloader's clamp).
    const struct {
        int32_t done;
        int32_t total;
        int expected;
    } overall[] = {
        {3, 4, 750}, {5, 4, 1000}, {0, 4, 0}, {1, 0, 0}, {999, 1000, 999}, {1, 1001, 0}, {-1, 4, 0}, {3, -4, 0},
        // done * 1000 does not fit 32 bits here.
        {INT32_MAX, INT32_MAX, 1000}, {INT32_MAX / 2, INT32_MAX, 499},
    };
    for (const auto& c : overall) {
        EXPECT_EQ(OverallPosition(c.done, c.total), c.expected) << c.done << "/" << c.total;
    }
    const struct {
        uint32_t received;
        uint32_t total;
        int position;
        const wchar_t* line;
    } downloads[] = {
        {0, 3145728, 0, L"Downloaded 0 bytes / 3 MB (0%)"},
        {999, 1000, 999, L"Downloaded 999 bytes / 1000 bytes (99%)"},
        // More than announced: the bar stays full, the percent tells the truth.
        {3000, 1000, 1000, L"Downloaded 2 KB / 1000 bytes (300%)"},
        {INT32_MAX, INT32_MAX, 1000, L"Downloaded 2047 MB / 2047 MB (100%)"},
        {INT32_MAX - 1, INT32_MAX, 999, L"Downloaded 2047 MB / 2047 MB (99%)"},
        {INT32_MAX, 1, 1000, L"Downloaded 2047 MB / 1 bytes (214748364700%)"},
        // No total announced: bytes only, and the bar sweeps.
        {0, 0, -1, L"Connecting to server..."}, {2048, 0, -1, L"Downloaded 2 KB"},
    };
    for (const auto& c : downloads) {
        EXPECT_TRUE(c.position < 0 || DownloadPosition(c.received, c.total) == c.position) << c.received;
        EXPECT_EQ(DownloadLineText(c.received, c.total), c.line);
    }
    const std::pair<uint32_t, int> sweep[] = {{0, 50}, {24, 50}, {25, 51}, {22499, 949}, {22500, 50}, {UINT32_MAX, 441}};
    for (const auto& c : sweep) {
        EXPECT_EQ(SweepPosition(c.first), c.second) << c.first;
    }
}

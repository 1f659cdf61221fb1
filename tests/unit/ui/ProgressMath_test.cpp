#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "ui/ProgressMath.h"

namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

TEST(ProgressMathTest, FormatByteSizeTruncatesAtEachUnitBoundary)
{
    const struct {
        uint64_t bytes;
        const wchar_t* expected;
    } cases[] = {
        {0, L"0 bytes"},
        {1, L"1 bytes"},
        {1023, L"1023 bytes"},
        {1024, L"1 KB"},
        {2047, L"1 KB"},
        {2048, L"2 KB"},
        {1048575, L"1023 KB"},
        {1048576, L"1 MB"},
        {3145727, L"2 MB"},
        {5000000000ULL, L"4768 MB"},
        {kMax64, L"17592186044415 MB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatByteSize(c.bytes), c.expected) << c.bytes;
    }
}

TEST(ProgressMathTest, OverallPositionIsTruncatedAndKeptInsideTheBar)
{
    const int32_t kMin32 = std::numeric_limits<int32_t>::min();
    const int32_t kMax32 = std::numeric_limits<int32_t>::max();
    const struct {
        int32_t done;
        int32_t total;
        int expected;
    } cases[] = {
        {3, 4, 750},
        {5, 4, 1000},
        {4, 4, 1000},
        {0, 4, 0},
        {1, 0, 0},
        {1, 3, 333},
        {2, 3, 666},
        {999, 1000, 999},
        {1, 1000, 1},
        {1, 1001, 0},
        {-1, 4, 0},
        {-5, -4, 0},
        {3, -4, 0},
        {kMin32, 1, 0},
        // done * 1000 overflows 32 bits: the ratio must still come out right.
        {kMax32, kMax32, 1000},
        {kMax32 / 2, kMax32, 499},
        {kMax32, 1, 1000},
        {kMin32, kMax32, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OverallPosition(c.done, c.total), c.expected) << c.done << L" / " << c.total;
    }
}

TEST(ProgressMathTest, DownloadPositionPercentAndLineForKnownTotals)
{
    const struct {
        uint64_t received;
        uint64_t total;
        int position;
        uint64_t percent;
        const wchar_t* line;
    } cases[] = {
        {1572864, 3145728, 500, 50, L"Downloaded 1 MB / 3 MB (50%)"},
        {0, 3145728, 0, 0, L"Downloaded 0 bytes / 3 MB (0%)"},
        {3145728, 3145728, 1000, 100, L"Downloaded 3 MB / 3 MB (100%)"},
        {999, 1000, 999, 99, L"Downloaded 999 bytes / 1000 bytes (99%)"},
        {1, 3, 333, 33, L"Downloaded 1 bytes / 3 bytes (33%)"},
        {2047, 4096, 499, 49, L"Downloaded 1 KB / 4 KB (49%)"},
        // More than announced: the bar stays full, the percent tells the truth.
        {3000, 1000, 1000, 300, L"Downloaded 2 KB / 1000 bytes (300%)"},
        // The largest sizes must not wrap around in the multiplication.
        {kMax64, kMax64, 1000, 100, L"Downloaded 17592186044415 MB / 17592186044415 MB (100%)"},
        {kMax64 / 2, kMax64, 499, 49, L"Downloaded 8796093022207 MB / 17592186044415 MB (49%)"},
        {uint64_t(1) << 63, kMax64, 500, 50, L"Downloaded 8796093022208 MB / 17592186044415 MB (50%)"},
        {0, kMax64, 0, 0, L"Downloaded 0 bytes / 17592186044415 MB (0%)"},
        {1, kMax64, 0, 0, L"Downloaded 1 bytes / 17592186044415 MB (0%)"},
        {kMax64, 1, 1000, kMax64, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadPosition(c.received, c.total), c.position) << c.received << L" / " << c.total;
        EXPECT_EQ(DownloadPercent(c.received, c.total), c.percent) << c.received << L" / " << c.total;
        if (c.line != nullptr) {
            EXPECT_EQ(DownloadLineText(c.received, c.total), c.line);
        }
    }
}

TEST(ProgressMathTest, ScaledRatioMatchesExactArithmeticNearTheLimits)
{
    // Expected values worked out by hand from the exact quotients.
    const struct {
        uint64_t part;
        uint64_t whole;
        uint32_t scale;
        uint64_t expected;
    } cases[] = {
        {7, 2, 3, 10},
        {0, 5, 1000, 0},
        {5, 0, 1000, 0},
        {123, 7, 0, 0},
        {kMax64 - 1, kMax64, 1000, 999},
        {kMax64, kMax64 - 1, 1000, 1000},
        {kMax64 / 3, kMax64, 1000, 333},
        {(kMax64 / 1000) * 999, kMax64 - 1, 1000, 998},
        {kMax64, 2, 4, kMax64},
        {kMax64, 1000, 1000, kMax64},
        {kMax64 - 1, 1000, 1000, kMax64 - 1},
        {kMax64, 1000, 1001, kMax64},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScaledRatio(c.part, c.whole, c.scale), c.expected)
            << c.part << L" * " << c.scale << L" / " << c.whole;
    }
}

TEST(ProgressMathTest, UnknownTotalLineShowsConnectingUntilBytesArrive)
{
    EXPECT_EQ(DownloadLineText(0, 0), L"Connecting to server...");
    EXPECT_EQ(DownloadLineText(1, 0), L"Downloaded 1 bytes");
    EXPECT_EQ(DownloadLineText(2048, 0), L"Downloaded 2 KB");
    EXPECT_EQ(DownloadLineText(5000000000ULL, 0), L"Downloaded 4768 MB");
    EXPECT_EQ(DownloadLineText(kMax64, 0), L"Downloaded 17592186044415 MB");
}

TEST(ProgressMathTest, SweepStaysBetween50And949AndAdvancesEvery25Ms)
{
    const struct {
        uint32_t tick;
        int expected;
    } cases[] = {
        {0, 50},        {24, 50},         {25, 51},       {50, 52},
        {22474, 948},   {22475, 949},     {22499, 949},   {22500, 50},
        {45000, 50},    {45025, 51},      {4294967295u, 50 + static_cast<int>((4294967295u / 25) % 900)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SweepPosition(c.tick), c.expected) << c.tick;
    }

    // Over a whole period every position in the range is reached once, and
    // nothing outside it ever is, wherever the tick count starts or wraps.
    const uint32_t starts[] = {0u, 1000003u, 4294967295u - 22500u, 4294967295u - 7u};
    for (uint32_t start : starts) {
        int seen[1000] = {};
        for (uint32_t step = 0; step < 900; ++step) {
            const int position = SweepPosition(start + step * 25u);
            ASSERT_GE(position, kSweepLowest) << start + step * 25u;
            ASSERT_LE(position, kSweepHighest) << start + step * 25u;
            ++seen[position];
        }
        for (int p = kSweepLowest; p <= kSweepHighest; ++p) {
            if (start + 900u * 25u > start) {  // no wrap inside this period
                EXPECT_EQ(seen[p], 1) << "start " << start << " position " << p;
            }
        }
    }
    for (uint64_t tick = 0; tick <= 0xFFFFFFFFull; tick += 7919) {
        const int position = SweepPosition(static_cast<uint32_t>(tick));
        ASSERT_TRUE(position >= 50 && position <= 949) << tick;
    }
}

TEST(ProgressMathTest, QuestionFlagsCarryTheDefaultButtonCode)
{
    EXPECT_EQ(QuestionBoxFlags(0), 0x10024u);
    EXPECT_EQ(QuestionBoxFlags(1), 0x10124u);
    EXPECT_EQ(QuestionBoxFlags(2), 0x10224u);
}

}  // namespace

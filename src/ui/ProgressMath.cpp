#include "ui/ProgressMath.h"

#include <limits>

namespace {

constexpr uint64_t kKibibyte = 1024;
constexpr uint64_t kMebibyte = 1048576;
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// Sweep step: one position every 25 ms over 900 positions.
constexpr uint32_t kSweepStepMs = 25;
constexpr uint32_t kSweepPositions = kSweepHighest - kSweepLowest + 1;

}  // namespace

std::wstring FormatByteSize(uint64_t bytes)
{
    if (bytes >= kMebibyte) {
        return std::to_wstring(bytes / kMebibyte) + L" MB";
    }
    if (bytes < kKibibyte) {
        return std::to_wstring(bytes) + L" bytes";
    }
    return std::to_wstring(bytes / kKibibyte) + L" KB";
}

uint64_t ScaledRatio(uint64_t part, uint64_t whole, uint32_t scale)
{
    if (whole == 0) {
        return 0;
    }
    // Split off the whole multiples first; only the remainder needs care.
    const uint64_t quotient = part / whole;
    const uint64_t remainder = part % whole;
    if (scale != 0 && quotient > kMax64 / scale) {
        return kMax64;
    }
    const uint64_t high = quotient * scale;

    uint64_t low = 0;
    if (remainder == 0 || whole <= kMax64 / scale) {
        low = remainder * scale / whole;
    } else {
        // remainder * scale would overflow: add the remainder `scale` times,
        // carrying whole multiples out as we go. With remainder < whole the
        // running sum never exceeds 64 bits, and the loop is at most `scale`
        // short steps.
        uint64_t sum = 0;
        const uint64_t gap = whole - remainder;
        for (uint32_t i = 0; i < scale; ++i) {
            if (sum >= gap) {
                sum -= gap;
                ++low;
            } else {
                sum += remainder;
            }
        }
    }
    return high > kMax64 - low ? kMax64 : high + low;
}

int OverallPosition(int32_t done, int32_t total)
{
    if (total <= 0) {
        return 0;
    }
    const int64_t position = static_cast<int64_t>(done) * kProgressBarMax / total;
    if (position > kProgressBarMax - 1) {
        return kProgressBarMax;
    }
    if (position < 1) {
        return 0;
    }
    return static_cast<int>(position);
}

int DownloadPosition(uint64_t received, uint64_t total)
{
    const uint64_t position = ScaledRatio(received, total, kProgressBarMax);
    return position > static_cast<uint64_t>(kProgressBarMax) ? kProgressBarMax : static_cast<int>(position);
}

uint64_t DownloadPercent(uint64_t received, uint64_t total)
{
    return ScaledRatio(received, total, 100);
}

int SweepPosition(uint32_t tickCount)
{
    return static_cast<int>((tickCount / kSweepStepMs) % kSweepPositions) + kSweepLowest;
}

std::wstring DownloadLineText(uint64_t received, uint64_t total)
{
    if (total == 0) {
        if (received == 0) {
            return L"Connecting to server...";
        }
        return L"Downloaded " + FormatByteSize(received);
    }
    return L"Downloaded " + FormatByteSize(received) + L" / " + FormatByteSize(total) + L" (" +
           std::to_wstring(DownloadPercent(received, total)) + L"%)";
}

unsigned QuestionBoxFlags(unsigned char defaultButtonCode)
{
    return kQuestionBoxFlags | (static_cast<unsigned>(defaultButtonCode) << 8);
}

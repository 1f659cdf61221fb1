#include "ui/ProgressMath.h"

namespace orv {

namespace {

constexpr uint64_t kKibibyte = 1024;
constexpr uint64_t kMebibyte = 1048576;

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

int DownloadPosition(uint32_t received, uint32_t total)
{
    const uint64_t position = uint64_t{received} * kProgressBarMax / total;
    return position > static_cast<uint64_t>(kProgressBarMax) ? kProgressBarMax : static_cast<int>(position);
}

uint64_t DownloadPercent(uint32_t received, uint32_t total)
{
    return uint64_t{received} * 100 / total;
}

int SweepPosition(uint32_t tickCount)
{
    return static_cast<int>((tickCount / kSweepStepMs) % kSweepPositions) + kSweepLowest;
}

std::wstring DownloadLineText(uint32_t received, uint32_t total)
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

} // namespace orv

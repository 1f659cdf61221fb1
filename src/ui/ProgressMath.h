#pragma once
// The arithmetic and texts behind the progress window. Pure: no Windows
// headers, so the rules can be checked (and fuzzed) without a display.
#include <cstdint>
#include <string>

namespace orv {

// Both bars count in tenths of a percent: this position is a full bar.
constexpr int kProgressBarMax = 1000;

// While the size of a download is unknown the bar sweeps inside this range,
// so it never looks finished or empty.
constexpr int kSweepLowest = 50;
constexpr int kSweepHighest = 949;

// Truncating byte-size text: "n bytes", "n KB" or "n MB".
std::wstring FormatByteSize(uint64_t bytes);

// Overall bar position for `done` of `total` steps: 0 for a total of 0 or
// less, otherwise the truncated ratio kept within 0..1000.
int OverallPosition(int32_t done, int32_t total);

// Download counts reach the window as the downloader's counters hold them:
// never negative and clamped to 2147483647. Widened to 64 bits, every
// product below is exact.

// Download bar position for a known total (not 0), kept within 0..1000.
int DownloadPosition(uint32_t received, uint32_t total);

// Whole percent received of a known total (not 0); above 100 when a server
// sends more than it announced.
uint64_t DownloadPercent(uint32_t received, uint32_t total);

// Bar position while the total is unknown, from the system tick count:
// one sweep from 50 to 949 every 22.5 seconds.
int SweepPosition(uint32_t tickCount);

// The download line: with a known total "Downloaded a / b (p%)"; with an
// unknown total (0) "Connecting to server..." until bytes arrive, then
// "Downloaded a".
std::wstring DownloadLineText(uint32_t received, uint32_t total);

// Message-box flags of the yes/no question: Yes/No buttons, question icon,
// brought to the foreground, with the default-button code (0 = Yes,
// 1 = No) in bits 8 and up.
constexpr unsigned kQuestionBoxFlags = 0x10024;
constexpr unsigned kErrorBoxFlags = 0x10010;
constexpr unsigned kInfoBoxFlags = 0x10040;
unsigned QuestionBoxFlags(unsigned char defaultButtonCode);

} // namespace orv

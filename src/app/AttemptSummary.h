#pragma once
// The text that shows a user every try behind a failed download. Pure.
#include <string>
#include <vector>

#include "download/Downloader.h"

// At most this many tries are listed; the rest are only in the trace log.
constexpr size_t kSummaryAttempts = 36;

// One line per try, "backend url -> result", the newest kSummaryAttempts.
std::wstring AttemptSummary(const std::vector<orv::DownloadAttempt>& attempts);

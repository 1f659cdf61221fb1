#include "app/AttemptSummary.h"

std::wstring AttemptSummary(const std::vector<orv::DownloadAttempt>& attempts)
{
    const size_t count = attempts.size();
    const size_t first = count > kSummaryAttempts ? count - kSummaryAttempts : 0;
    std::wstring text;
    for (size_t i = first; i < count; ++i) {
        text += attempts[i].backend + L" " + attempts[i].url + L" -> " + attempts[i].result + L"\r\n";
    }
    if (first > 0) {
        text += L"(" + std::to_wstring(first) + L" earlier attempts are in updater-w7-trace.log)\r\n";
    }
    return text;
}

#include "app/SessionText.h"

#include <cwctype>

#include "platform/PathText.h"
#include "platform/InstallLayout.h"

namespace orv {

std::wstring AttemptSummary(const std::vector<orv::DownloadAttempt>& attempts)
{
    const size_t count = attempts.size();
    const size_t first = count > kSummaryAttempts ? count - kSummaryAttempts : 0;
    std::wstring text;
    for (size_t i = first; i < count; ++i) {
        text += attempts[i].backend + L" " + attempts[i].url + L" -> " + attempts[i].result + L"\r\n";
    }
    if (first > 0) {
        text += L"(" + std::to_wstring(first) + L" earlier attempts are in " + kTraceFileName + L")\r\n";
    }
    return text;
}

std::wstring ExtractFolderName(size_t index, const std::wstring& packageName)
{
    std::wstring stem = FileStem(packageName);
    for (wchar_t& c : stem) {
        if (!std::iswalnum(static_cast<wint_t>(c)) && c != L'-' && c != L'.' && c != L'_') {
            c = L'_';
        }
    }
    return std::to_wstring(index + 1) + L"-" + stem;
}

std::wstring CompletionText(size_t packages, const std::vector<std::wstring>& failures)
{
    const size_t completed = packages > failures.size() ? packages - failures.size() : 0;
    std::wstring text =
        L"Completed " + std::to_wstring(completed) + L" of " + std::to_wstring(packages) + L" package(s).";
    if (!failures.empty()) {
        text += L"\r\n\r\nThe following package(s) remain pending and will retry next run:\r\n";
        for (const std::wstring& failure : failures) {
            text += L"- " + failure + L"\r\n";
        }
    }
    return text;
}

std::wstring RestartQuestionText(const std::wstring& completion, const std::vector<std::wstring>& rebootFiles)
{
    std::wstring text = completion +
                        L"\r\nWindows restart is required only for these files because close/force-kill and four "
                        L"copy attempts failed:\r\n";
    for (size_t i = 0; i < rebootFiles.size() && i < kListedRebootFiles; ++i) {
        text += L"- " + rebootFiles[i] + L"\r\n";
    }
    if (rebootFiles.size() > kListedRebootFiles) {
        text += L"- and " + std::to_wstring(rebootFiles.size() - kListedRebootFiles) + L" more (see log)\r\n";
    }
    return text + L"\r\nRestart Windows now?";
}

} // namespace orv

#pragma once
// The texts a run shows people and the names it gives its work folders.
// Pure rules: no Windows headers.
#include <string>
#include <vector>

#include "download/Downloader.h"

namespace orv {

// At most this many tries are listed; the rest are only in the trace log.
constexpr size_t kSummaryAttempts = 36;
// At most this many files are named in the restart question.
constexpr size_t kListedRebootFiles = 10;

// One line per try, "backend url -> result", the newest kSummaryAttempts.
std::wstring AttemptSummary(const std::vector<orv::DownloadAttempt>& attempts);

// The extraction folder of the package at index (counted from 0): the
// number from 1, "-", and the name's stem with every character other than
// letters, digits, "-", "." and "_" replaced by "_".
std::wstring ExtractFolderName(size_t index, const std::wstring& packageName);

// "Completed n of m package(s).", then the pending list when something failed.
std::wstring CompletionText(size_t packages, const std::vector<std::wstring>& failures);

// The completion text followed by the files that wait for a restart (the
// first kListedRebootFiles of them) and the question.
std::wstring RestartQuestionText(const std::wstring& completion, const std::vector<std::wstring>& rebootFiles);

} // namespace orv

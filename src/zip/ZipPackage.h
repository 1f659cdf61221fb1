#pragma once
// Validation and safe extraction of update packages (ZIP files, read through
// miniz).
#include <string>

class TraceLog;
class ProgressWindow;

// True when every entry of the ZIP could be extracted safely; otherwise
// false with the reason in error.
bool ValidateZipPackage(const std::wstring& zipPath, std::wstring& error);

// Rebuilds destination from empty and extracts every entry into it,
// verifying each file written.
bool ExtractZipPackage(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                       ProgressWindow& progress, std::wstring& error);

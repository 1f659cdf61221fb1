#pragma once
// Validation and safe extraction of update packages (ZIP files).
#include <string>

#include "platform/FileSystem.h"

namespace orv {

class TraceLog;

// True when every entry of the ZIP could be extracted safely; otherwise
// false with the reason in error.
bool ValidateZipPackage(const std::wstring& zipPath, std::wstring& error);

// Rebuilds destination from empty and extracts every entry into it,
// verifying each file written. pump is called once per entry and, while a
// file is written, at most every 50 ms, so a window stays alive; an empty
// pump is never called.
bool ExtractZipPackage(const std::wstring& zipPath, const std::wstring& destination, TraceLog& log,
                       const ProgressTick& pump, std::wstring& error);

} // namespace orv

#pragma once
// The last-resort reporters: an append-only error log beside the executable
// and the filter for structured exceptions nothing else handles.
#include <cstdint>
#include <string>

struct _EXCEPTION_POINTERS;

namespace orv {

// Appends one entry to "OrvUpdaterW7-ErrorLog.txt" beside the executable, or
// in the temporary folder when that file cannot be opened. Never raises.
void WriteErrorLog(const std::wstring& message);

// The error-log message for a structured exception: code as eight
// upper-case hex digits, address without leading zeros.
std::wstring NativeCrashMessage(bool haveRecord, uint32_t code, uint64_t address);

// Records the exception and lets the system end the process without a dialog.
long __stdcall NativeCrashFilter(_EXCEPTION_POINTERS* pointers);

} // namespace orv

#pragma once
// The run's plain-text trace: one line per event, appended with its own
// open, write, flush and close so that every line is on disk at once. The
// line's text (TraceLog.cpp) is pure; the file is TraceLogWin.cpp.
#include <cstdint>
#include <exception>
#include <string>

struct _SYSTEMTIME;

namespace orv {

// Local time as YYYY-MM-DD HH:MM:SS.mmm.
std::wstring FormatTimestamp(const _SYSTEMTIME& time);

// The message with every control character written as an escape (\r, \n,
// \t, \x1B; and \u2028 for the characters some viewers break lines at), so
// that no text from a manifest or a server can end a line or forge another.
std::wstring EscapeControlCharacters(const std::wstring& message);

// Builds one line without its CR LF: level | Seq=n | timestamp | message,
// the message escaped: one event is always one line.
std::wstring FormatTraceLine(const std::wstring& level, uint32_t sequence, const std::wstring& timestamp,
                             const std::wstring& message);

class TraceLog {
public:
    std::wstring path;
    uint32_t sequence = 0;

    void Open(const std::wstring& folder);
    // Opens the temporary folder's log, for a run that must write nothing
    // in the folder it was given.
    void OpenInTempFolder();
    void Write(const std::wstring& level, const std::wstring& message);
    void Info(const std::wstring& message);
    void Warn(const std::wstring& message);
    void Fail(const std::wstring& message);
    void FailException(const std::wstring& component, const std::exception& error);

private:
    void WriteSessionStart();
};

} // namespace orv

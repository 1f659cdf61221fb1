#include "log/TraceLog.h"

#include <windows.h>

#include <cstdio>

#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "platform/InstallLayout.h"
#include "platform/ProgramInfo.h"
#include "platform/PublisherKey.h"

namespace orv {

namespace {

// Opens the log for appending; other updater processes and log viewers may
// read or append at the same time.
UniqueFile OpenForAppend(const std::wstring& path)
{
    return UniqueFile(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

std::wstring FormatTimestamp(const SYSTEMTIME& time)
{
    wchar_t text[32] = {};
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%04u-%02u-%02u %02u:%02u:%02u.%03u",
                  static_cast<unsigned>(time.wYear), static_cast<unsigned>(time.wMonth),
                  static_cast<unsigned>(time.wDay), static_cast<unsigned>(time.wHour),
                  static_cast<unsigned>(time.wMinute), static_cast<unsigned>(time.wSecond),
                  static_cast<unsigned>(time.wMilliseconds));
    return text;
}

void TraceLog::Open(const std::wstring& folder)
{
    const std::wstring candidate = JoinPath(folder, kTraceFileName);
    if (OpenForAppend(candidate)) {
        path = candidate;
        WriteSessionStart();
    } else {
        // The install folder may not take files for this user.
        OpenInTempFolder();
    }
}

void TraceLog::OpenInTempFolder()
{
    path = JoinPath(GetTempFolder(), kTraceFallbackFileName);
    OpenForAppend(path);
    WriteSessionStart();
}

void TraceLog::WriteSessionStart()
{
    std::wstring message = std::wstring(L"Session start | Version=") + kProgramVersion;
    // A build that takes manifests unsigned says so in every run it logs.
    if (kBuildMarker[0] != L'\0') {
        message += std::wstring(L" | Build=") + kBuildMarker;
    }
    Info(message + L" | Executable=" + GetModulePath());
}

void TraceLog::Write(const std::wstring& level, const std::wstring& message)
{
    // Numbered before anything can fail, so a gap in Seq shows a lost line.
    ++sequence;
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const std::string bytes = WideToUtf8(FormatTraceLine(level, sequence, FormatTimestamp(now), message) + L"\r\n");
    if (path.empty() || bytes.empty()) {
        return;
    }
    UniqueFile file = OpenForAppend(path);
    if (!file) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::FlushFileBuffers(file.Get());
}

void TraceLog::Info(const std::wstring& message)
{
    Write(L"INFO", message);
}

void TraceLog::Warn(const std::wstring& message)
{
    Write(L"WARN", message);
}

void TraceLog::Fail(const std::wstring& message)
{
    Write(L"FAIL", message);
}

void TraceLog::FailException(const std::wstring& component, const std::exception& error)
{
    std::wstring text;
    try {
        text = Utf8ToWide(std::string(error.what()));
    } catch (...) {
        text = L"Unknown C++ exception";
    }
    Fail(component + L" | " + text);
}

} // namespace orv

#include "app/ErrorLog.h"

#include <windows.h>

#include <cwchar>

#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

UniqueFile OpenErrorLog(const std::wstring& folder)
{
    const std::wstring path = JoinPath(folder, kErrorLogFileName);
    return UniqueFile(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

void WriteErrorLog(const std::wstring& message)
{
    try {
        // Chosen anew for every entry: the executable's folder may be
        // read-only for this user.
        UniqueFile file = OpenErrorLog(GetModuleDirectory());
        if (!file) {
            file = OpenErrorLog(GetTempFolder());
        }
        if (!file) {
            return;
        }
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        // The leading line break starts every entry on a fresh line, even
        // after an earlier entry was cut short.
        const std::string bytes = WideToUtf8(L"\r\nFAIL | " + FormatTimestamp(now) + L" | " + message + L"\r\n");
        DWORD written = 0;
        ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::FlushFileBuffers(file.Get());
    } catch (...) {
        // A reporter of last resort must never become the failure itself.
    }
}

std::wstring NativeCrashMessage(bool haveRecord, uint32_t code, uint64_t address)
{
    std::wstring message = L"Unhandled native exception";
    if (haveRecord) {
        wchar_t text[64] = {};
        std::swprintf(text, sizeof(text) / sizeof(text[0]), L" | Code=0x%08X | Address=0x%llX", code,
                      static_cast<unsigned long long>(address));
        message += text;
    }
    return message;
}

long __stdcall NativeCrashFilter(_EXCEPTION_POINTERS* pointers)
{
    const bool haveRecord = pointers != nullptr && pointers->ExceptionRecord != nullptr;
    const uint32_t code = haveRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
    const uint64_t address =
        haveRecord ? static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointers->ExceptionRecord->ExceptionAddress))
                   : 0;
    WriteErrorLog(NativeCrashMessage(haveRecord, code, address));
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace orv

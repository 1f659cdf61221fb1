// Stands in for a program the updater starts (the product's main executable,
// the system's shutdown command, a new updater): each start appends one
// record to "<own path>.started" and ends. A record is two lines, UTF-8:
//   cwd=<working folder>
//   cmd=<the whole command line as the program received it>
#include <windows.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

int wmain()
{
    wchar_t folder[MAX_PATH + 1] = {};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    const std::string record =
        WideToUtf8(std::wstring(L"cwd=") + folder + L"\ncmd=" + ::GetCommandLineW() + L"\n");
    const std::wstring log = GetModulePath() + L".started";
    UniqueFile file(::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.Get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr)) {
        return 1;
    }
    return written == record.size() ? 0 : 1;
}

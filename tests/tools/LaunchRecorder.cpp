// Stands in for a product's main program: records that it was started by
// appending one line, "<working folder>|<command line>", to the file named
// like itself plus ".launched", then ends.
#include <windows.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

using namespace orv;

int wmain()
{
    wchar_t folder[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    const std::string line = WideToUtf8(std::wstring(folder) + L"|" + ::GetCommandLineW()) + "\n";
    const std::wstring record = GetModulePath() + L".launched";
    UniqueFile file(::CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ? 0 : 1;
}

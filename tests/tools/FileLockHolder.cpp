// Holds a file open the way another program would, until told to let go.
//   FileLockHolder.exe FILE SHARE-MODE READY-FILE STOP-FILE
// Opens FILE for reading with the given share mode (0 = nobody else may open
// it, 1 = others may read it), writes "held" or "failed <error>" to
// READY-FILE, and keeps the file open until STOP-FILE exists. It lets go on
// its own after two minutes, so a failed test leaves nothing behind.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        return 2;
    }
    const DWORD share = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    UniqueFile file(::CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    const std::string report = file ? "held" : "failed " + std::to_string(::GetLastError());
    std::wstring error;
    if (!WriteFileDirect(argv[3], report.data(), report.size(), error) || !file) {
        return 1;
    }
    const DWORD start = ::GetTickCount();
    while (!FileExists(argv[4]) && ::GetTickCount() - start < 120000) {
        ::Sleep(20);
    }
    return 0;
}

// A process that stays until told to end, optionally holding a file open:
//   HoldOpen.exe PID-FILE [FILE [SHARE-MODE]]
// Opens FILE for reading with the given share mode (decimal; 0 = nobody else
// may open, rename or delete it), then writes its own process id to PID-FILE
// (so the file is held once the id is there) and waits until its standard
// input is closed.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

using namespace orv;

int wmain(int argc, wchar_t** argv)
{
    const DWORD share = argc >= 4 ? std::wcstoul(argv[3], nullptr, 10) : 0;
    UniqueFile held(argc >= 3 ? ::CreateFileW(argv[2], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)
                              : nullptr);
    if (argc < 2 || (argc >= 3 && !held)) {
        return 2;
    }
    std::wstring error;
    if (!WriteFileAtomic(argv[1], std::to_wstring(::GetCurrentProcessId()), error)) {
        return 3;
    }
    char buffer[64];
    DWORD read = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    return 0;
}

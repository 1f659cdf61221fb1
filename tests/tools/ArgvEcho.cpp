// Writes the arguments it received, as the standard splitter sees them, to
// the file named by its first argument: UTF-8, one argument per line, each
// wrapped in [ ] so blanks and empty arguments stay visible.
//   ArgvEcho.exe OUTPUT-FILE [args...]
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

int wmain()
{
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (argv == nullptr || count < 2) {
        return 2;
    }
    UniqueLocalMemory owner(static_cast<HLOCAL>(argv));
    std::wstring text;
    for (int i = 2; i < count; ++i) {
        text += L"[" + std::wstring(argv[i]) + L"]\n";
    }
    std::wstring error;
    return WriteFileAtomic(argv[1], text, error) ? 0 : 1;
}

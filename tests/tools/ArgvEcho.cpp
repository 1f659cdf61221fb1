// Writes the arguments it received, as the standard splitter sees them, to
// the file named by its first argument: UTF-8, one argument per line, each
// wrapped in [ ] so blanks and empty arguments stay visible.
//   ArgvEcho.exe OUTPUT-FILE [args...]
// When ORV_ARGV_ECHO_FILE is set (for a copy that another program starts with
// arguments the test cannot choose), every argument goes to that file.
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
    std::wstring fixedOutput(32768, L'\0');
    fixedOutput.resize(::GetEnvironmentVariableW(L"ORV_ARGV_ECHO_FILE", &fixedOutput[0], 32768));
    const bool fixed = !fixedOutput.empty() && fixedOutput.size() < 32768;
    std::wstring text;
    for (int i = fixed ? 1 : 2; i < count; ++i) {
        text += L"[" + std::wstring(argv[i]) + L"]\n";
    }
    std::wstring error;
    return WriteFileAtomic(fixed ? fixedOutput : argv[1], text, error) ? 0 : 1;
}

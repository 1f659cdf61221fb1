#pragma once
// Where the program's DLLs and the system programs it starts come from.
// Windows looks for a DLL that is not a KnownDLL, and the shell for a program
// named without a folder, in the executable's own folder (and the current
// one) first: a file planted beside the updater, or in the stage folder its
// helper runs from, would run with the rights of whoever approved an
// elevation. So only the system folder is ever searched.
#include <windows.h>

#include <string>

namespace orv {

// Restricts every later DLL search of this process to the system folder and
// drops the current folder from it. The first thing the program does.
void RestrictDllSearch();

// Loads a DLL the program delay-loads, from the system folder only; null
// when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// A file of the system folder by its full path ("C:\Windows\system32\" +
// name); the bare name when the folder cannot be read.
std::wstring SystemFilePath(const std::wstring& name);

} // namespace orv

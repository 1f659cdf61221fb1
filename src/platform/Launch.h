#pragma once
// Starting other programs through the shell: the product's main executable,
// an elevated copy of this program, and the helpers of the self-update.
#include <cstdint>
#include <string>
#include <vector>

#include "app/RunOptions.h"

class TraceLog;
struct ProductProfile;

// What ShellExecuteExW is asked to do. The process handle it returns is
// closed at once: nobody waits for the started program.
struct ShellStart {
    const wchar_t* verb = L"open";
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;
    int show = 1;            // SW_SHOWNORMAL
    unsigned long mask = 0x40; // SEE_MASK_NOCLOSEPROCESS
};

// True when the program was started; otherwise false with the system's
// error code in *error.
bool StartWithShell(const ShellStart& start, unsigned long* error);

// Proves the install folder takes new files. When it does not, starts an
// elevated copy of this program (unless this run already is one) and
// returns false: the current process must end.
bool EnsureInstallFolderWritable(const RunOptions& options, TraceLog& log);

// Starts the product's main executable from the install folder.
bool LaunchMainApplication(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log);

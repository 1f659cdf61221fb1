#pragma once
// Starting other programs through the shell: the product's main executable,
// an elevated copy of this program, and the helpers of the self-update.
#include <cstdint>
#include <string>
#include <vector>

#include "app/RunOptions.h"
#include "platform/Handles.h"

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

// The process with this id, opened so it can be waited for, when it may be
// the one that started this process. Null when it has ended, or when the id
// now belongs to a process created after this one: an ended process's id
// can be handed out again at once, and that stranger is none of our business.
UniqueHandle OpenStartingProcess(uint32_t processId);

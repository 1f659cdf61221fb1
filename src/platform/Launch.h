#pragma once
// The process primitives of every program start: the shell's start, and
// finding the process that started this one.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"

namespace orv {

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

// The process with this id, opened so it can be waited for, when it may be
// the one that started this process. Null when it has ended, or when the id
// now belongs to a process created after this one: an ended process's id
// can be handed out again at once, and that stranger is none of our business.
UniqueHandle OpenStartingProcess(uint32_t processId);

} // namespace orv

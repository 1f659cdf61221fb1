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

// The primary token of this session's desktop shell, to start a program
// with the rights of the user at the desktop; null when no shell can be
// found or read.
UniqueHandle DesktopShellToken();

// Whether this process holds rights the desktop shell's token does not: it
// runs elevated while the shell does not, or as another user (elevated with
// an administrator's account), or it is elevated and there is no shell.
bool HasRightsBeyondDesktop(const UniqueHandle& shellToken);

// Starts a program with the given token, not waiting for it.
bool StartWithToken(const UniqueHandle& token, const std::wstring& file, const std::wstring& directory,
                    unsigned long* error);

// The process with this id, opened so it can be waited for, when it may be
// the one that started this process. Null when it has ended, or when the id
// now belongs to a process created after this one: an ended process's id
// can be handed out again at once, and that stranger is none of our business.
UniqueHandle OpenStartingProcess(uint32_t processId);

} // namespace orv

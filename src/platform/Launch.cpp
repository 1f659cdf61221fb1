#include "platform/Launch.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/Handles.h"

namespace orv {

namespace {

bool CreationTime(HANDLE process, ULONGLONG& time)
{
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return false;
    }
    time = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return true;
}

} // namespace

bool StartWithShell(const ShellStart& start, unsigned long* error)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = start.mask;
    info.hwnd = nullptr;
    info.lpVerb = start.verb;
    info.lpFile = start.file.c_str();
    info.lpParameters = start.parameters.empty() ? nullptr : start.parameters.c_str();
    info.lpDirectory = start.directory.empty() ? nullptr : start.directory.c_str();
    info.nShow = start.show;
    if (!::ShellExecuteExW(&info)) {
        if (error != nullptr) {
            *error = ::GetLastError();
        }
        return false;
    }
    // Nobody waits for the started program.
    UniqueHandle process(info.hProcess);
    return true;
}

UniqueHandle OpenStartingProcess(uint32_t processId)
{
    UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    ULONGLONG theirs = 0;
    ULONGLONG ours = 0;
    // Times that cannot be read prove nothing: the process is kept.
    if (process && CreationTime(process.Get(), theirs) && CreationTime(::GetCurrentProcess(), ours) &&
        theirs > ours) {
        process.Reset();
    }
    return process;
}

} // namespace orv

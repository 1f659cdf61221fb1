#include "platform/Launch.h"

#include <windows.h>
#include <shellapi.h>

#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/CommandLines.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace {

const wchar_t kWriteTestFileName[] = L".orvupdaterw7-write-test";

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

bool EnsureInstallFolderWritable(const RunOptions& options, TraceLog& log)
{
    const std::wstring probe = JoinPath(options.installPath, kWriteTestFileName);
    {
        UniqueFile file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (file) {
            file.Reset();
            DeleteFileIfPresent(probe);
            return true;
        }
    }
    // Never a second elevation: that instance would only start another.
    if (HasElevatedMarker(options.rawArguments)) {
        log.Fail(L"Install directory remains unwritable after elevation | " + options.installPath);
        return false;
    }
    ShellStart start;
    start.verb = L"runas";
    start.file = GetModulePath();
    start.parameters = BuildElevatedParameters(options.rawArguments);
    start.directory = GetModuleDirectory();
    start.show = options.silent ? SW_HIDE : SW_SHOWNORMAL;
    start.mask = SEE_MASK_NOCLOSEPROCESS;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log.Fail(L"Elevation failed or was cancelled | " + Win32ErrorText(error));
        return false;
    }
    log.Info(L"Elevated updater launched; current process will exit.");
    return false;
}

bool LaunchMainApplication(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log)
{
    const std::wstring path = JoinPath(installFolder, profile.mainExecutable);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        log.Warn(L"Launch skipped | Main executable is missing: " + path);
        return false;
    }
    ShellStart start;
    start.file = path;
    start.directory = installFolder;
    start.show = SW_SHOWNORMAL;
    start.mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log.Fail(L"Launch failed | " + path + L" | " + Win32ErrorText(error));
        return false;
    }
    log.Info(L"Launch succeeded | " + path);
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

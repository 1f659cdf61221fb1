#include "platform/Launch.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/Handles.h"
#include "platform/PathText.h"

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

// The desktop window's process, else this session's explorer: the shell.
DWORD DesktopShellProcess()
{
    DWORD pid = 0;
    if (HWND shell = ::GetShellWindow()) {
        ::GetWindowThreadProcessId(shell, &pid);
    }
    DWORD ourSession = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &ourSession);
    UniqueFile snapshot(pid == 0 ? ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) : nullptr);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && ::Process32FirstW(snapshot.Get(), &entry); more && pid == 0;
         more = ::Process32NextW(snapshot.Get(), &entry)) {
        DWORD session = 0;
        if (EqualsNoCase(entry.szExeFile, L"explorer.exe") && ::ProcessIdToSessionId(entry.th32ProcessID, &session) &&
            session == ourSession) {
            pid = entry.th32ProcessID;
        }
    }
    return pid;
}

bool ReadElevation(HANDLE token, bool& elevated)
{
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    elevated = false;
    if (!::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
        return false;
    }
    elevated = elevation.TokenIsElevated != 0;
    return true;
}

std::vector<unsigned char> UserOf(HANDLE token)
{
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size, 0);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        return {};
    }
    return user;
}

bool SameUser(HANDLE a, HANDLE b)
{
    const std::vector<unsigned char> userA = UserOf(a);
    const std::vector<unsigned char> userB = UserOf(b);
    return !userA.empty() && !userB.empty() &&
           ::EqualSid(reinterpret_cast<const TOKEN_USER*>(userA.data())->User.Sid,
                      reinterpret_cast<const TOKEN_USER*>(userB.data())->User.Sid);
}

} // namespace

UniqueHandle DesktopShellToken()
{
    const DWORD pid = DesktopShellProcess();
    UniqueHandle process(pid != 0 ? ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr);
    HANDLE opened = nullptr;
    if (!process || !::OpenProcessToken(process.Get(), TOKEN_QUERY | TOKEN_DUPLICATE, &opened)) {
        return UniqueHandle();
    }
    UniqueHandle token(opened);
    HANDLE primary = nullptr;
    if (!::DuplicateTokenEx(token.Get(),
                            TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                                TOKEN_ADJUST_SESSIONID,
                            nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
        return UniqueHandle();
    }
    return UniqueHandle(primary);
}

bool HasRightsBeyondDesktop(const UniqueHandle& shellToken)
{
    HANDLE opened = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return false;
    }
    const UniqueHandle ours(opened);
    bool elevated = false;
    bool shellElevated = false;
    ReadElevation(ours.Get(), elevated);
    if (!shellToken) {
        return elevated;
    }
    ReadElevation(shellToken.Get(), shellElevated);
    return (elevated && !shellElevated) || !SameUser(ours.Get(), shellToken.Get());
}

bool StartWithToken(const UniqueHandle& token, const std::wstring& file, const std::wstring& directory,
                    unsigned long* error)
{
    std::wstring command = QuoteArgument(file);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessWithTokenW(token.Get(), 0, file.c_str(), &command[0], 0, nullptr,
                                   directory.empty() ? nullptr : directory.c_str(), &startup, &started)) {
        if (error != nullptr) {
            *error = ::GetLastError();
        }
        return false;
    }
    // Nobody waits for the started program.
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);
    return true;
}

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

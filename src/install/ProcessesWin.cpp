#include "install/Processes.h"

#include <windows.h>
#include <restartmanager.h>
#include <tlhelp32.h>

#include "install/Installer.h"
#include "log/TraceLog.h"
#include "platform/Handles.h"
#include "ui/ProgressWindow.h"

namespace orv {

namespace {

// A closed window gets this long to end its program before it is killed.
constexpr DWORD kGracefulWaitMs = 2500;
constexpr DWORD kTerminatedWaitMs = 5000;
constexpr DWORD kWaitStepMs = 50;

// Restart Manager sessions are plain numbers ended by RmEndSession; this
// owner lives only inside one lock query.
class RestartManagerSession {
public:
    RestartManagerSession() { started_ = ::RmStartSession(&handle_, 0, key_) == ERROR_SUCCESS; }
    ~RestartManagerSession()
    {
        if (started_) {
            ::RmEndSession(handle_);
        }
    }
    RestartManagerSession(const RestartManagerSession&) = delete;
    RestartManagerSession& operator=(const RestartManagerSession&) = delete;

    bool Started() const { return started_; }
    DWORD Handle() const { return handle_; }

private:
    DWORD handle_ = 0;
    WCHAR key_[CCH_RM_SESSION_KEY + 1] = {};
    bool started_ = false;
};

BOOL CALLBACK CloseProcessWindows(HWND window, LPARAM processId)
{
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == *reinterpret_cast<const DWORD*>(processId)) {
        // Posted, not sent: a hung program cannot block the updater.
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

// True when the process ended within limitMs. Polls in short steps and pumps
// the window between them, so the updater stays responsive.
bool WaitForExit(HANDLE process, DWORD limitMs, ProgressWindow& progress)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD answer = ::WaitForSingleObject(process, kWaitStepMs);
        progress.PumpMessages();
        if (answer == WAIT_OBJECT_0) {
            return true;
        }
        if (answer != WAIT_TIMEOUT || static_cast<DWORD>(::GetTickCount() - start) >= limitMs) {
            return false;
        }
    }
}

bool InThisSession(DWORD pid)
{
    DWORD ours = 0;
    DWORD theirs = 0;
    return ::ProcessIdToSessionId(::GetCurrentProcessId(), &ours) && ::ProcessIdToSessionId(pid, &theirs) &&
           ours == theirs;
}

// Every suite program by its name, wherever it runs: which of them may be
// stopped is judged afterwards. One whose image cannot be read is named as
// the process list names it.
std::vector<LockHolder> FindApplicationProcesses()
{
    std::vector<LockHolder> found;
    UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return found;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID != ::GetCurrentProcessId() && IsApplicationProcessName(entry.szExeFile)) {
            const std::wstring image = GetProcessImagePath(entry.th32ProcessID);
            found.push_back(LockHolder{entry.th32ProcessID, image.empty() ? entry.szExeFile : image,
                                       InThisSession(entry.th32ProcessID)});
        }
    }
    return found;
}

} // namespace

std::wstring GetProcessImagePath(uint32_t pid)
{
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) {
        // Enough for the name, and granted for an elevated or another
        // account's process too.
        process.Reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    }
    if (!process) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process.Get(), 0, buffer.data(), &size)) {
        return std::wstring();
    }
    return std::wstring(buffer.data(), size);
}

void StopProcess(uint32_t pid, TraceLog& log, ProgressWindow& progress)
{
    if (pid == 0 || pid == ::GetCurrentProcessId()) {
        return;
    }
    const std::wstring name = FileNamePart(GetProcessImagePath(pid));
    if (IsProtectedProcessName(name)) {
        return;
    }
    UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
    if (!process) {
        log.Warn(L"Process stop open failed | PID=" + std::to_wstring(pid) + L" | " + Win32ErrorText(::GetLastError()));
        return;
    }
    // Politely first: a program that closes itself saves its work.
    DWORD target = pid;
    ::EnumWindows(CloseProcessWindows, reinterpret_cast<LPARAM>(&target));
    if (!WaitForExit(process.Get(), kGracefulWaitMs, progress)) {
        if (!::TerminateProcess(process.Get(), 1)) {
            log.Warn(L"Process force-stop failed | " + name + L" | PID=" + std::to_wstring(pid) + L" | " +
                     Win32ErrorText(::GetLastError()));
            return;
        }
        WaitForExit(process.Get(), kTerminatedWaitMs, progress);
    }
    process.Reset();
    log.Info(L"Process stopped | " + name + L" | PID=" + std::to_wstring(pid));
}

std::vector<LockHolder> FindLockHolders(const std::wstring& file)
{
    std::vector<LockHolder> holders;
    RestartManagerSession session;
    if (!session.Started()) {
        return holders;
    }
    LPCWSTR files[] = {file.c_str()};
    if (::RmRegisterResources(session.Handle(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) {
        return holders;
    }
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    // Success on the empty query means nobody holds the file.
    if (::RmGetList(session.Handle(), &needed, &count, nullptr, &reasons) != ERROR_MORE_DATA || needed == 0) {
        return holders;
    }
    std::vector<RM_PROCESS_INFO> records(needed);
    count = needed;
    if (::RmGetList(session.Handle(), &needed, &count, records.data(), &reasons) != ERROR_SUCCESS) {
        return holders;
    }
    DWORD ourSession = 0;
    const bool sessionKnown = ::ProcessIdToSessionId(::GetCurrentProcessId(), &ourSession) != FALSE;
    for (UINT i = 0; i < count && i < records.size(); ++i) {
        const uint32_t pid = records[i].Process.dwProcessId;
        holders.push_back(LockHolder{pid, GetProcessImagePath(pid), sessionKnown && records[i].TSSessionId == ourSession});
    }
    return holders;
}

void Installer::StopApplicationProcesses()
{
    for (const LockHolder& process : FindApplicationProcesses()) {
        const StopVerdict verdict = JudgeProcess(process, installFolder);
        if (verdict == StopVerdict::Stop) {
            StopProcess(process.pid, *log, *progress);
        } else {
            log->Warn(LeftRunningText(verdict, process));
        }
    }
}

void Installer::ReleaseFileLocks(const std::wstring& file)
{
    for (const LockHolder& holder : FindLockHolders(file)) {
        log->Warn(L"File lock found | File=" + file + L" | Process=" + FileNamePart(holder.imagePath) +
                  L" | PID=" + std::to_wstring(holder.pid));
        if (JudgeProcess(holder, installFolder) == StopVerdict::Stop) {
            StopProcess(holder.pid, *log, *progress);
        }
    }
}

} // namespace orv

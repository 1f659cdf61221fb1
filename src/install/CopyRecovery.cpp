#include <windows.h>

#include "install/Installer.h"
#include "log/TraceLog.h"
#include "ui/ProgressWindow.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

// One try: a verified copy beside the target, renamed over it. The rename is
// the only step that touches the target, so an interrupted try never leaves
// a half-written file.
bool ReplaceOnce(const std::wstring& source, const std::wstring& target, const std::wstring& side,
                 uint32_t attempt, const ProgressTick& tick, TraceLog& log, DWORD& lastError)
{
    DeleteFileIfPresent(side);
    std::wstring error;
    if (!CopyFileVerified(source, side, error, tick)) {
        lastError = ::GetLastError();
        // A copy that broke off on a full disk leaves its partial file; free
        // that space before anything else (the log line included) needs it.
        DeleteFileIfPresent(side);
        log.Warn(L"Install staging failed | Attempt=" + std::to_wstring(attempt) + L" | " + target + L" | " + error);
        return false;
    }
    if (FileExists(target)) {
        // Read-only, hidden and system files must not stop the rename.
        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (!::MoveFileExW(side.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        lastError = ::GetLastError();
        return false;
    }
    if (!FilesEqual(source, target, tick)) {
        lastError = ::GetLastError();
        return false;
    }
    return true;
}

// Waits without freezing the window; tick differences are unsigned so a
// wrapping counter does not end the pause early.
void PauseWithPump(ProgressWindow& progress, uint32_t pauseMs)
{
    const DWORD start = ::GetTickCount();
    while (static_cast<DWORD>(::GetTickCount() - start) < pauseMs) {
        progress.PumpMessages();
        ::Sleep(50);
    }
}

} // namespace

// A run that was cut off between its copy and its rename left a side file
// named after its own process id: ours would never meet it. Our own side
// files never outlive their target's copy, so one look per folder sees all
// the left ones.
void Installer::DeleteLeftSideFiles(const std::wstring& target)
{
    const std::wstring folder = ParentPath(target);
    auto left = leftSideFiles.find(folder);
    if (left == leftSideFiles.end()) {
        left = leftSideFiles.emplace(folder, ListMatchingFiles(JoinPath(folder, std::wstring(L"*") + kInstallSideSuffix + L"*"))).first;
    }
    const std::wstring prefix = FileNamePart(target) + kInstallSideSuffix;
    for (const std::wstring& name : left->second) {
        if (StartsWithNoCase(name, prefix)) {
            DeleteFileIfPresent(JoinPath(folder, name));
        }
    }
}

bool Installer::CopyWithRecovery(const std::wstring& source, const std::wstring& target, InstallResult& result)
{
    const ProgressTick tick = Tick();
    // Judged as the backup will read it, once for both.
    bool exists = false;
    if (!guard.ContainsOwnContent(target, &exists)) {
        result.failedFiles.push_back(target);
        log->Fail(L"Install target passes through a link; not replaced | " + target);
        return false;
    }
    if (exists && FilesEqual(source, target, tick)) {
        log->Info(L"Install already current | " + target);
        return true;
    }
    if (dryRun) {
        result.installedFiles.push_back(target);
        log->Info(L"Install DRYRUN | " + source + L" -> " + target);
        return true;
    }
    if (exists && !BackupExistingFile(target, result, true)) {
        return false;
    }
    const std::wstring folder = ParentPath(target);
    if (!CreateDirectories(folder)) {
        result.failedFiles.push_back(target);
        log->Fail(L"Install directory create failed | " + folder);
        return false;
    }
    // The folders just made could have been swapped for a link meanwhile.
    if (!guard.ContainsFolder(folder)) {
        result.failedFiles.push_back(target);
        log->Fail(L"Install target passes through a link; not replaced | " + target);
        return false;
    }
    DeleteLeftSideFiles(target);
    const std::wstring side = SideFilePath(target, ::GetCurrentProcessId());
    DWORD lastError = 0;
    for (uint32_t attempt = 1; attempt <= kCopyAttempts; ++attempt) {
        if (ReplaceOnce(source, target, side, attempt, tick, *log, lastError)) {
            result.installedFiles.push_back(target);
            log->Info(L"Install PASS | Attempt=" + std::to_wstring(attempt) + L" | " + target);
            return true;
        }
        DeleteFileIfPresent(side);
        log->Warn(L"Install retry | Attempt=" + std::to_wstring(attempt) + L"/" + std::to_wstring(kCopyAttempts) +
                  L" | " + target + L" | " + Win32ErrorText(lastError));
        ReleaseFileLocks(target);
        PauseWithPump(*progress, RetryPauseMs(attempt));
    }
    if (ScheduleAtReboot(source, target, result)) {
        return true;
    }
    result.failedFiles.push_back(target);
    log->Fail(L"Install FAIL | Continued=True | " + target + L" | " + Win32ErrorText(lastError));
    return false;
}

} // namespace orv

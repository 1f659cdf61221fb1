#include <windows.h>

#include <algorithm>

#include "install/Installer.h"
#include "log/TraceLog.h"
#include "ui/ProgressWindow.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

constexpr DWORD kInTheWayAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// What a try knows before it starts. The first knows what the folder's
// listing and the guard's look at the target found; a later one looks again,
// since the failed try or another program may have changed either.
struct TryStart {
    bool sideMayExist = true;
    // Unknown: look at the target's attributes first.
    bool attributesKnown = false;
    DWORD attributes = 0;
};

// One try: a verified copy beside the target, renamed over it. The rename is
// the only step that touches the target, so an interrupted try never leaves
// a half-written file.
bool ReplaceOnce(ComparedFile& source, const std::wstring& target, const std::wstring& side, uint32_t attempt,
                 const TryStart& start, const ProgressTick& tick, TraceLog& log, DWORD& lastError)
{
    if (start.sideMayExist) {
        DeleteFileIfPresent(side);
        CreateDirectories(ParentPath(side));
    }
    std::wstring error;
    if (!source.CopyVerified(side, error, tick)) {
        lastError = ::GetLastError();
        // A copy that broke off on a full disk leaves its partial file; free
        // that space before anything else (the log line included) needs it.
        DeleteFileIfPresent(side);
        log.Warn(L"Install staging failed | Attempt=" + std::to_wstring(attempt) + L" | " + target + L" | " + error);
        return false;
    }
    DWORD attributes = start.attributes;
    if (!start.attributesKnown) {
        attributes = ::GetFileAttributesW(target.c_str());
    }
    // Read-only, hidden and system files must not stop the rename.
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (attributes & kInTheWayAttributes)) {
        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (!::MoveFileExW(side.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        lastError = ::GetLastError();
        return false;
    }
    if (!source.Equals(target, tick)) {
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
// files never outlive their target's copy (one that could not be removed is
// added to the list), so one look per folder sees all the left ones.
bool Installer::DeleteLeftSideFiles(const std::wstring& target)
{
    const std::wstring folder = ParentPath(target);
    auto left = leftSideFiles.find(folder);
    if (left == leftSideFiles.end()) {
        const std::wstring pattern = JoinPath(folder, std::wstring(L"*") + kInstallSideSuffix + L"*");
        left = leftSideFiles.emplace(folder, ListMatchingFiles(pattern)).first;
    }
    std::vector<std::wstring>& names = left->second;
    bool none = true;
    for (const std::wstring& name : SideFilesOf(names, FileNamePart(target))) {
        if (DeleteFileIfPresent(JoinPath(folder, name))) {
            names.erase(std::find(names.begin(), names.end(), name));
        } else {
            none = false;
        }
    }
    return none;
}

bool Installer::CopyWithRecovery(const std::wstring& source, const std::wstring& target, InstallResult& result)
{
    const ProgressTick tick = Tick();
    // Judged as the backup will read it, once for both.
    FoundAtPath found;
    if (!guard.ContainsOwnContent(target, &found)) {
        result.failedFiles.push_back(target);
        log->Fail(L"Install target passes through a link; not replaced | " + target);
        return false;
    }
    // Opened once for all its comparisons and its copies.
    ComparedFile incoming(source, compareBuffers);
    if (found.exists && incoming.Equals(target, tick)) {
        log->Info(L"Install already current | " + target);
        return true;
    }
    if (dryRun) {
        result.installedFiles.push_back(target);
        log->Info(L"Install DRYRUN | " + source + L" -> " + target);
        return true;
    }
    if (found.exists && !BackupExistingFile(target, result, &found)) {
        return false;
    }
    // A file that is there has its folder.
    const std::wstring folder = ParentPath(target);
    if (!found.exists && !CreateDirectories(folder)) {
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
    TryStart start;
    start.sideMayExist = !DeleteLeftSideFiles(target);
    start.attributesKnown = !found.exists || found.attributesRead;
    start.attributes = found.exists ? found.attributes : INVALID_FILE_ATTRIBUTES;
    const std::wstring side = SideFilePath(target, ::GetCurrentProcessId());
    DWORD lastError = 0;
    for (uint32_t attempt = 1; attempt <= kCopyAttempts; ++attempt) {
        if (ReplaceOnce(incoming, target, side, attempt, start, tick, *log, lastError)) {
            result.installedFiles.push_back(target);
            log->Info(L"Install PASS | Attempt=" + std::to_wstring(attempt) + L" | " + target);
            return true;
        }
        start = TryStart();
        std::vector<std::wstring>& left = leftSideFiles[folder];
        if (!DeleteFileIfPresent(side) && std::find(left.begin(), left.end(), FileNamePart(side)) == left.end()) {
            // Left for the next file of this name the run installs to remove.
            left.push_back(FileNamePart(side));
        }
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

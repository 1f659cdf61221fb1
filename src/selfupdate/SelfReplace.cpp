// The two hand-over runs that put a new updater executable in place. A
// running executable cannot overwrite its own file, so a staged copy
// ("/selfreplace") waits for the old process, swaps the files and starts the
// new one, which ("/postselfupdate") clears what the swap left behind and
// finishes the original run's work. Both runs are silent: the trace log and
// the exit code are their only report.
#include "selfupdate/SelfUpdate.h"

#include <windows.h>

#include "install/InstallFolderGuard.h"
#include "install/Reboot.h"
#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/CommandLines.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "install/MainApplication.h"
#include "platform/Launch.h"
#include "platform/InstallLayout.h"
#include "platform/ExitCodes.h"

namespace orv {

namespace {

// The old updater normally ends within moments of starting us; a minute is
// the most we give it before trying anyway.
constexpr DWORD kWaitForOldUpdaterMs = 60000;

// Delete retries of the cleanup run, 100 ms apart: the backup may still be
// mapped for a moment; the staged copy is the helper that started us and
// may still be exiting, so it gets longer.
constexpr int kBackupDeleteAttempts = 30;
constexpr int kStageDeleteAttempts = 80;
constexpr DWORD kDeleteRetryPauseMs = 100;

constexpr DWORD kReplaceFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

struct SideFiles {
    std::wstring fresh;  // the new copy before it is moved into place
    std::wstring backup; // the old executable while the new one moves in
};

SideFiles SideFilesOf(const std::wstring& target)
{
    return {target + kSelfUpdateNewSuffix, target + kSelfUpdateBackupSuffix};
}

bool MoveReplacing(const std::wstring& from, const std::wstring& to)
{
    return ::MoveFileExW(from.c_str(), to.c_str(), kReplaceFlags) != FALSE;
}

void DeleteWithRetries(const std::wstring& path, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!FileExists(path) || DeleteFileIfPresent(path)) {
            return;
        }
        ::Sleep(kDeleteRetryPauseMs);
    }
}

// Removes the staged copy, then the copies of chains that broke before
// their swap (a staged copy left in the folder holds back the pending
// state), and the folder once nothing is left in it. Only the install
// folder's own stage folder is swept: a staged path given from anywhere
// else names one file, and its neighbours are none of ours.
void RemoveStagedCopy(const std::wstring& stagedPath, const std::wstring& installFolder)
{
    DeleteWithRetries(stagedPath, kStageDeleteAttempts);
    const std::wstring stageFolder = ParentPath(stagedPath);
    // A stage folder swapped for a link would make the sweep delete whatever
    // it points to.
    InstallFolderGuard guard(installFolder);
    if (EqualsNoCase(stageFolder, SelfUpdateStageFolderPath(installFolder)) && guard.ContainsFolder(stageFolder)) {
        DeleteMatchingFiles(JoinPath(stageFolder, L"*"));
    }
    if (DirectoryExists(stageFolder) && !DirectoryHasEntries(stageFolder)) {
        ::RemoveDirectoryW(stageFolder.c_str());
    }
}

// The staged copy that the running updater was swapped from, if any.
std::wstring StagedCopyOf(const std::wstring& stageFolder, const std::wstring& running)
{
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(stageFolder, L"*").c_str(), &entry));
    if (!find) {
        return std::wstring();
    }
    do {
        const std::wstring staged = JoinPath(stageFolder, entry.cFileName);
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && FilesEqual(staged, running)) {
            return staged;
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return std::wstring();
}

int RunPostSelfUpdateCleanup(const HandOverRun& options, TraceLog& log)
{
    if (!options.selfBackup.empty()) {
        DeleteWithRetries(options.selfBackup, kBackupDeleteAttempts);
    }
    if (!options.selfStage.empty()) {
        RemoveStagedCopy(options.selfStage, options.installPath);
    }
    PromotePendingManifest(options.installPath, log);
    log.Info(L"Self-update post-cleanup complete | Permanent updater is running.");
    const ProductProfile profile = ResolveProductProfile(options.product, options.installPath);
    if (options.restartAfter) {
        RegisterRunOnce(options.installPath, profile, log);
        RequestRestart(log);
    } else if (!options.pendingReboot && !options.noLaunch) {
        LaunchMainApplication(options.installPath, profile, log);
    }
    return kExitDone;
}

// The old updater holds its executable until it ends. A process that can
// no longer be opened has ended already, and one that carries its id but was
// created after us is a stranger: neither is waited for. The wait's outcome
// is not checked because the moves below report a file that is still held.
void WaitForOldUpdater(uint32_t processId)
{
    if (processId == 0) {
        return;
    }
    const UniqueHandle process = OpenStartingProcess(processId);
    if (process) {
        ::WaitForSingleObject(process.Get(), kWaitForOldUpdaterMs);
    }
}

// Starts the freshly placed executable with "/postselfupdate /finishonly".
bool LaunchPermanentUpdater(const HandOverRun& options, const std::wstring& backupPath, TraceLog& log)
{
    const ProductProfile profile = ResolveProductProfile(options.product, options.installPath);
    ShellStart start;
    start.verb = L"open";
    start.file = options.target;
    start.parameters = BuildPostSelfUpdateParameters(backupPath, options.source, options.installPath, profile.id,
                                                     options.restartAfter, options.pendingReboot);
    start.directory = ParentPath(options.target);
    start.show = SW_HIDE;
    start.mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log.Fail(L"New updater launch failed after self replacement | " + Win32ErrorText(error));
        return false;
    }
    return true;
}

// Puts the old executable back after a failed swap, so the install folder
// always keeps a working updater: moved over the target, never after
// deleting it, so there is one at every moment.
void RestoreOldUpdater(const std::wstring& target, const SideFiles& side)
{
    if (FileExists(side.backup)) {
        MoveReplacing(side.backup, target);
    } else {
        DeleteFileIfPresent(target);
    }
}

// The new copy replaces the old executable in one rename. A running image
// cannot be replaced, only renamed: when the old updater still runs after
// the wait, it is moved aside over its copy and the new one moves in after
// it. Only then, for the moment between the two renames, is there no updater
// under the target's name.
bool MoveIn(const HandOverRun& options, const SideFiles& side, TraceLog& log)
{
    // Windows refuses to rename over a read-only file; its copy aside keeps
    // the old attributes for a restore.
    if (FileExists(options.target)) {
        ::SetFileAttributesW(options.target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (MoveReplacing(side.fresh, options.target)) {
        return true;
    }
    const DWORD refused = ::GetLastError();
    if (!FileExists(side.backup) || !MoveReplacing(options.target, side.backup)) {
        ::SetLastError(refused);
        return false;
    }
    log.Warn(L"Self-update target still in use; old updater moved aside | " + options.target);
    if (MoveReplacing(side.fresh, options.target)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    MoveReplacing(side.backup, options.target);
    ::SetLastError(error);
    return false;
}

int MoveNewUpdaterIn(const HandOverRun& options, const SideFiles& side, TraceLog& log)
{
    const bool moved = MoveIn(options, side, log);
    if (!moved || !FilesEqual(options.source, options.target)) {
        log.Fail(L"Self-update permanent move or verification failed | " + Win32ErrorText(::GetLastError()));
        if (moved) {
            RestoreOldUpdater(options.target, side);
        } else if (FileExists(options.target)) {
            // The renames left the target as it was: its copy aside is not
            // needed (and is the only one when the target could not be put back).
            DeleteFileIfPresent(side.backup);
        }
        DeleteFileIfPresent(side.fresh);
        return kExitSelfReplaceMoveIn;
    }
    log.Info(L"Self-update replacement PASS | Target=" + options.target);
    if (!LaunchPermanentUpdater(options, side.backup, log)) {
        RestoreOldUpdater(options.target, side);
        return kExitSelfReplaceStart;
    }
    return kExitDone;
}

int RunSelfReplacement(const HandOverRun& options, TraceLog& log)
{
    if (options.source.empty() || options.target.empty() || !FileExists(options.source)) {
        log.Fail(L"Self-update command is incomplete or staged source is missing.");
        return kExitSelfReplaceIncomplete;
    }
    WaitForOldUpdater(options.waitPid);
    const SideFiles side = SideFilesOf(options.target);
    // Left-overs of a chain that broke earlier.
    DeleteFileIfPresent(side.fresh);
    DeleteFileIfPresent(side.backup);
    std::wstring error;
    if (!CopyFileVerified(options.source, side.fresh, error)) {
        log.Fail(L"Self-update replacement copy failed | " + error);
        return kExitSelfReplaceCopy;
    }
    // Copied aside, not moved: moved, the install folder would hold no
    // updater until the new one is in, and a run cut off in between would
    // leave the user none to start.
    if (FileExists(options.target) && !CopyFileVerified(options.target, side.backup, error)) {
        log.Fail(L"Self-update backup move failed | " + error);
        DeleteFileIfPresent(side.fresh);
        return kExitSelfReplaceBackup;
    }
    return MoveNewUpdaterIn(options, side, log);
}

} // namespace

bool HandleSelfUpdateRun(const HandOverRun& options, TraceLog& log, int& exitCode)
{
    exitCode = kExitDone;
    if (options.postSelfUpdate) {
        exitCode = RunPostSelfUpdateCleanup(options, log);
        return true;
    }
    if (options.selfReplace) {
        exitCode = RunSelfReplacement(options, log);
        return true;
    }
    return false;
}

void TidyFinishedSelfUpdate(const std::wstring& installFolder)
{
    const std::wstring running = GetModulePath();
    if (!EqualsNoCase(ParentPath(running), installFolder)) {
        return;
    }
    const std::wstring stageFolder = SelfUpdateStageFolderPath(installFolder);
    const std::wstring swapped = StagedCopyOf(stageFolder, running);
    if (!swapped.empty()) {
        DeleteFileIfPresent(SideFilesOf(running).backup);
        RemoveStagedCopy(swapped, installFolder);
    } else if (DirectoryExists(stageFolder) && !DirectoryHasEntries(stageFolder)) {
        // Cut off after the last staged copy went, before its folder did.
        ::RemoveDirectoryW(stageFolder.c_str());
    }
}

} // namespace orv

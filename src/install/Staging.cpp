#include <windows.h>

#include "install/Installer.h"
#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "manifest/Version.h"
#include "platform/CommandLines.h"
#include "platform/Launch.h"
#include "platform/InstallLayout.h"

namespace orv {

void Installer::StageSelfUpdate(const std::wstring& incoming, const std::wstring& installed, InstallResult& result)
{
    const ProgressTick tick = Tick();
    if (FilesEqual(incoming, installed, tick)) {
        log->Info(L"Self-update already current | " + installed);
        return;
    }
    const std::wstring incomingVersion = GetFileVersionText(incoming);
    const std::wstring installedVersion = GetFileVersionText(installed);
    if (!IncomingUpdaterMayReplace(incomingVersion, installedVersion)) {
        log->Warn(L"Self-update downgrade/equal version skipped | Incoming=" + incomingVersion +
                  L" | Installed=" + installedVersion);
        return;
    }
    if (dryRun) {
        result.selfUpdateHandled = true;
        log->Info(L"Self-update DRYRUN | " + incoming + L" -> " + installed);
        return;
    }
    // Below the install folder, so the staged copy and its target share a volume.
    const std::wstring stage = SelfUpdateStageFolderPath(installFolder);
    if (!CreateDirectories(stage)) {
        log->Fail(L"Self-update stage directory failed | " + stage);
        return;
    }
    const std::wstring staged = JoinPath(stage, StagedExecutableName(::GetCurrentProcessId(), ::GetTickCount()));
    if (!guard.ContainsFolder(stage)) {
        log->Fail(L"Self-update stage passes through a link; not staged | " + stage);
        return;
    }
    std::wstring error;
    if (!CopyFileVerified(incoming, staged, error, tick)) {
        log->Fail(L"Self-update stage failed | " + error);
        return;
    }
    stagedExecutable = staged;
    selfUpdateTarget = installed;
    result.selfUpdateHandled = true;
    log->Info(L"Self-update staged | Source=" + staged + L" | Target=" + installed);
}

// The helper runs from the stage folder: nothing but the staged copy may be
// there when it starts (a DLL planted beside it would be looked for first by
// a system without the search restriction). Entries that cannot be removed
// keep the helper from starting.
bool Installer::EmptyStageFolder()
{
    const std::wstring stage = ParentPath(stagedExecutable);
    if (!guard.Contains(stagedExecutable)) {
        log->Fail(L"Self-update stage passes through a link; helper not started | " + stage);
        return false;
    }
    const std::wstring staged = FileNamePart(stagedExecutable);
    bool empty = true;
    for (const std::wstring& name : ListFolderEntries(stage)) {
        const std::wstring entry = JoinPath(stage, name);
        if (EqualsNoCase(name, staged)) {
            continue;
        }
        // Each removes only its own kind; a link to a folder goes as a link.
        const bool removed = DeleteFileIfPresent(entry) && DeleteTree(entry);
        if (!removed || FileExists(entry) || DirectoryExists(entry)) {
            log->Fail(L"Self-update stage holds a file that cannot be removed; helper not started | " + entry);
            empty = false;
        }
    }
    return empty;
}

bool Installer::LaunchSelfUpdateHelper(bool restartAfter, bool pendingReboot, const ProductProfile& profile)
{
    if (stagedExecutable.empty() || selfUpdateTarget.empty() || dryRun || !EmptyStageFolder()) {
        return false;
    }
    // The helper waits for this process to end and then swaps the files. It
    // asks for elevation only when this process could not make the swap's
    // files itself: an elevation prompt nobody needs is one more chance for
    // the wrong program to get the administrator's rights.
    ShellStart start;
    start.verb = CanCreateFilesIn(ParentPath(selfUpdateTarget)) ? L"open" : L"runas";
    start.file = stagedExecutable;
    start.parameters = BuildSelfReplaceParameters(::GetCurrentProcessId(), stagedExecutable, selfUpdateTarget,
                                                  installFolder, profile.id, restartAfter, pendingReboot);
    start.directory = ParentPath(stagedExecutable);
    start.show = SW_HIDE;
    start.mask = SEE_MASK_NOCLOSEPROCESS;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log->Fail(L"Self-update helper launch failed; application update remains installed | " +
                  Win32ErrorText(error));
        return false;
    }
    log->Info(L"Self-update helper launched | " + stagedExecutable);
    return true;
}

void Installer::DiscardStagedUpdater()
{
    const std::wstring stage = ParentPath(stagedExecutable);
    if (!stagedExecutable.empty() && guard.Contains(stagedExecutable)) {
        DeleteFileIfPresent(stagedExecutable);
        if (!DirectoryHasEntries(stage)) {
            ::RemoveDirectoryW(stage.c_str());
        }
    }
    stagedExecutable.clear();
    selfUpdateTarget.clear();
}

} // namespace orv

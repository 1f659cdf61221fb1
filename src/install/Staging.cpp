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

bool Installer::LaunchSelfUpdateHelper(bool restartAfter, bool pendingReboot, const ProductProfile& profile)
{
    if (stagedExecutable.empty() || selfUpdateTarget.empty() || dryRun) {
        return false;
    }
    // The helper waits for this process to end and then swaps the files; it
    // asks for elevation because the install folder may need it.
    ShellStart start;
    start.verb = L"runas";
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

} // namespace orv

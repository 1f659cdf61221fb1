#include <windows.h>

#include "install/Installer.h"
#include "install/Reboot.h"
#include "log/TraceLog.h"
#include "platform/InstallLayout.h"

namespace orv {

std::wstring MakeProcessTickStamp()
{
    return ProcessTickStamp(::GetCurrentProcessId(), ::GetTickCount());
}

bool Installer::ScheduleAtReboot(const std::wstring& source, const std::wstring& target, InstallResult& result)
{
    // The updater's own file is replaced only by the self-update chain.
    if (IsUpdaterExecutableName(target) || dryRun) {
        return false;
    }
    const std::wstring stage = RebootStageFolderPath(installFolder);
    if (!CreateDirectories(stage)) {
        return false;
    }
    const std::wstring staged = JoinPath(stage, MakeProcessTickStamp() + L"-" + FileNamePart(target));
    // Windows renames at the next start through whatever the paths name
    // then; both are checked now, the last moment the updater has (the
    // target by its own real path once more).
    const std::wstring* refused = !guard.ContainsFolder(stage) ? &stage : !guard.Contains(target) ? &target : nullptr;
    if (refused != nullptr) {
        log->Fail(L"Restart staging passes through a link; not scheduled | " + *refused);
        return false;
    }
    // The value that finishes the update at the next logon goes in before
    // the first copy waits in the stage folder: a run cut off anywhere after
    // it must not leave a replacement waiting for a restart with nothing to
    // complete the update once it has happened.
    if (!finishAfterRestartRegistered) {
        RegisterRunOnce(installFolder, *profile, *log);
        finishAfterRestartRegistered = true;
    }
    std::wstring error;
    if (!CopyFileVerified(source, staged, error, Tick())) {
        // A copy that broke off part-way (a full disk) may leave its partial
        // file behind; in the stage folder it would hold back the pending
        // state for good, and it was never registered to be moved.
        DeleteFileIfPresent(staged);
        log->Fail(L"Restart staging copy failed | Source=" + source + L" | Target=" + target + L" | " + error);
        return false;
    }
    if (!::MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        const DWORD code = ::GetLastError();
        log->Fail(L"Restart scheduling failed | Source=" + staged + L" | Target=" + target + L" | " +
                  Win32ErrorText(code));
        // The stage folder holds only copies the system is expected to move.
        DeleteFileIfPresent(staged);
        return false;
    }
    result.rebootRequired = true;
    result.rebootFiles.push_back(target);
    log->Warn(L"Restart replacement scheduled | Source=" + staged + L" | Target=" + target);
    return true;
}

} // namespace orv

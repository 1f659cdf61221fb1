// The work that completes replacements scheduled for the next Windows start:
// the RunOnce entry that brings the updater back after logon, the restart
// itself, and the promotion of the state document once Windows has moved
// every staged file.
#include "install/Reboot.h"

#include <windows.h>

#include <vector>

#include "install/InstallFolderGuard.h"
#include "install/Installer.h"

#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/CommandLines.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "platform/Launch.h"
#include "platform/SystemFolder.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

const wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kRunOnceValue[] = L"OrvUpdaterW7Finish";

const wchar_t kRestartParameters[] = L"/r /f /t 10 /c \"ORV update will finish after restart.\"";

// Where Windows keeps the moves it makes at the next start (newer systems
// keep some in the second value).
const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t* const kPendingMoveValues[] = {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"};

// Every path of the pending moves; false when the list cannot be read, as
// opposed to there being none.
bool ReadPendingMoves(std::vector<std::wstring>& paths)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return false;
    }
    UniqueRegKey key(opened);
    for (const wchar_t* name : kPendingMoveValues) {
        DWORD bytes = 0;
        LONG status = ::RegQueryValueExW(key.Get(), name, nullptr, nullptr, nullptr, &bytes);
        std::wstring block(bytes / sizeof(wchar_t) + 1, L'\0');
        if (status == ERROR_SUCCESS) {
            status = ::RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&block[0]), &bytes);
        }
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            return false;
        }
        const std::vector<std::wstring> strings = SplitMultiString(block.substr(0, bytes / sizeof(wchar_t)));
        paths.insert(paths.end(), strings.begin(), strings.end());
    }
    return true;
}

} // namespace

// A copy lands in the stage folder before its move is registered, and a
// restart makes every registered move or drops it: a copy no pending move
// names was left by a run cut off in between, or its move failed at the
// restart. Windows will never move it, and while it stays the pending state
// is never promoted and the finish run never launches the product. The
// pending state goes too, as its claims count on a replacement that will not
// happen; the local state never claimed those packages, so the next run
// installs them again. An empty stage folder is left over by a run cut off
// before its first copy, or while the promotion removed the folder.
void TidyRebootStage(const std::wstring& installFolder, TraceLog& log)
{
    const std::wstring stage = RebootStageFolderPath(installFolder);
    std::vector<std::wstring> moves;
    // Never through a link: the folder's files would be someone else's.
    InstallFolderGuard guard(installFolder);
    if (DirectoryHasEntries(stage) && guard.ContainsFolder(stage) && ReadPendingMoves(moves)) {
        bool dropped = false;
        for (const std::wstring& name : ListMatchingFiles(JoinPath(stage, L"*"))) {
            if (!IsMovedAtRestart(name, moves) && DeleteFileIfPresent(JoinPath(stage, name))) {
                log.Warn(L"Reboot stage copy that no restart will move removed | " + JoinPath(stage, name));
                dropped = true;
            }
        }
        if (dropped && FileExists(PendingStateFilePath(installFolder)) &&
            DeleteFileIfPresent(PendingStateFilePath(installFolder))) {
            log.Warn(L"Pending updater-w7.xml removed; its packages are installed again.");
        }
    }
    if (DirectoryExists(stage) && !DirectoryHasEntries(stage)) {
        ::RemoveDirectoryW(stage.c_str());
    }
}

void PromotePendingManifest(const std::wstring& installFolder, TraceLog& log)
{
    const std::wstring pending = PendingStateFilePath(installFolder);
    const std::wstring state = StateFilePath(installFolder);
    const std::wstring stage = RebootStageFolderPath(installFolder);
    if (!FileExists(pending)) {
        return;
    }
    // Any entry left in the stage folder is a replacement Windows has not
    // made yet: the pending state would claim files that are not in place.
    if (DirectoryHasEntries(stage)) {
        log.Warn(L"Pending reboot replacements still exist; pending updater-w7.xml was not promoted.");
        return;
    }
    // A staged updater not yet swapped in: the pending state names its
    // package, whose executable is not in place.
    if (DirectoryHasEntries(SelfUpdateStageFolderPath(installFolder))) {
        log.Warn(L"Self-update replacement still pending; pending updater-w7.xml was not promoted.");
        return;
    }
    if (!::MoveFileExW(pending.c_str(), state.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        log.Fail(L"Pending updater-w7.xml promotion failed | " + Win32ErrorText(::GetLastError()));
        return;
    }
    log.Info(L"Pending updater-w7.xml promoted after reboot completion.");
    if (DirectoryExists(stage)) {
        DeleteTree(stage);
    }
}

void RegisterRunOnce(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log)
{
    HKEY opened = nullptr;
    LONG status = ::RegCreateKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS) {
        log.Warn(L"RunOnce registration failed | Win32=" + std::to_wstring(status));
        return;
    }
    UniqueRegKey key(opened);
    const std::wstring data = BuildRunOnceCommand(GetModulePath(), installFolder, profile.id);
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    status = ::RegSetValueExW(key.Get(), kRunOnceValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                              bytes);
    key.Reset();
    if (status != ERROR_SUCCESS) {
        log.Warn(L"RunOnce value failed | Win32=" + std::to_wstring(status));
        return;
    }
    log.Info(L"RunOnce registered for pending reboot completion | " + data);
}

void RequestRestart(TraceLog& log)
{
    ShellStart start;
    start.verb = L"open";
    // By its full path: the shell would look for a bare name in the current
    // folder too.
    start.file = SystemFilePath(L"shutdown.exe");
    start.parameters = kRestartParameters;
    start.show = SW_HIDE;
    start.mask = SEE_MASK_FLAG_NO_UI;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log.Fail(L"Restart command failed | " + Win32ErrorText(error));
        return;
    }
    // The restart happens without us: nothing to wait for.
    log.Warn(L"Windows restart requested in 10 seconds for pending file replacement.");
}

} // namespace orv

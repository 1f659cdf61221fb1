// The work that completes replacements scheduled for the next Windows start:
// the RunOnce entry that brings the updater back after logon, the restart
// itself, and the promotion of the state document once Windows has moved
// every staged file.
#include "install/Reboot.h"

#include <windows.h>

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

} // namespace

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

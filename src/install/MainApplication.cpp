#include "install/MainApplication.h"

#include <windows.h>

#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/FileSystem.h"
#include "platform/Launch.h"

namespace orv {

namespace {

bool LaunchAsDesktopUser(const UniqueHandle& shellToken, const std::wstring& path, const std::wstring& folder,
                         TraceLog& log)
{
    if (!shellToken) {
        log.Warn(L"Launch skipped | No desktop shell to start the application with the user's own rights: " + path);
        return false;
    }
    unsigned long error = 0;
    if (!StartWithToken(shellToken, path, folder, &error)) {
        log.Fail(L"Launch failed | " + path + L" | " + Win32ErrorText(error));
        return false;
    }
    log.Info(L"Launch succeeded | " + path + L" | As the desktop user");
    return true;
}

} // namespace

bool LaunchMainApplication(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log)
{
    const std::wstring path = JoinPath(installFolder, profile.mainExecutable);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        log.Warn(L"Launch skipped | Main executable is missing: " + path);
        return false;
    }
    // After an elevated update the application still runs with the rights
    // of the user at the desktop, never with the administrator's.
    const UniqueHandle shellToken = DesktopShellToken();
    if (HasRightsBeyondDesktop(shellToken)) {
        return LaunchAsDesktopUser(shellToken, path, installFolder, log);
    }
    ShellStart start;
    start.file = path;
    start.directory = installFolder;
    start.show = SW_SHOWNORMAL;
    start.mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log.Fail(L"Launch failed | " + path + L" | " + Win32ErrorText(error));
        return false;
    }
    log.Info(L"Launch succeeded | " + path);
    return true;
}

} // namespace orv

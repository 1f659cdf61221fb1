#include "app/Elevation.h"

#include <windows.h>

#include "app/Session.h"
#include "log/TraceLog.h"
#include "platform/CommandLines.h"
#include "platform/ExitCodes.h"
#include "platform/FileSystem.h"
#include "platform/Launch.h"
#include "platform/PathText.h"
#include "platform/PublisherKey.h"

namespace orv {

namespace {

// The first folder from folder up to, not including, its root that is a link
// (a junction, a symbolic link, a mounted volume); empty when there is none.
// A root is the volume itself, which no user can point elsewhere.
std::wstring FirstLinkOnPath(std::wstring folder)
{
    for (;;) {
        const std::wstring parent = StripTrailingSeparators(ParentPath(folder));
        if (parent.empty() || parent.size() >= folder.size()) {
            return std::wstring();
        }
        if (IsReparsePoint(folder)) {
            return folder;
        }
        folder = parent;
    }
}

} // namespace

bool RefuseUntrustedElevation(Session& s)
{
    if (!HasElevatedMarker(s.options.rawArguments)) {
        return false;
    }
    const std::wstring ownFolder = StripTrailingSeparators(FullPath(GetModuleDirectory()));
    std::wstring reason = ElevatedRunRefusal(s.options, ownFolder, kHasPublisherKey);
    const std::wstring link = reason.empty() ? FirstLinkOnPath(ownFolder) : std::wstring();
    if (!link.empty()) {
        reason = L"The updater's own folder is reached through a link: " + link + L".";
    }
    if (reason.empty()) {
        return false;
    }
    s.log.OpenInTempFolder();
    s.log.Fail(L"Elevated run refused | " + reason);
    s.window.ShowError(L"The updater was started with administrator rights and did not run:\r\n\r\n" + reason +
                       L"\r\n\r\nFull log: " + s.log.path);
    s.exitCode = kExitElevatedRunRefused;
    return true;
}

bool EnsureInstallFolderWritable(const RunOptions& options, TraceLog& log)
{
    if (CanCreateFilesIn(options.installPath)) {
        return true;
    }
    // Never a second elevation: that instance would only start another.
    if (HasElevatedMarker(options.rawArguments)) {
        log.Fail(L"Install directory remains unwritable after elevation | " + options.installPath);
        return false;
    }
    ShellStart start;
    start.verb = L"runas";
    start.file = GetModulePath();
    start.parameters = BuildElevatedParameters(options.rawArguments);
    start.directory = GetModuleDirectory();
    start.show = options.silent ? SW_HIDE : SW_SHOWNORMAL;
    start.mask = SEE_MASK_NOCLOSEPROCESS;
    unsigned long error = 0;
    if (!StartWithShell(start, &error)) {
        log.Fail(L"Elevation failed or was cancelled | " + Win32ErrorText(error));
        return false;
    }
    log.Info(L"Elevated updater launched; current process will exit.");
    return false;
}

} // namespace orv

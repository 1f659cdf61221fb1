#include "app/Elevation.h"

#include <windows.h>

#include "log/TraceLog.h"
#include "platform/CommandLines.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "platform/InstallLayout.h"
#include "platform/Launch.h"

namespace orv {

bool EnsureInstallFolderWritable(const RunOptions& options, TraceLog& log)
{
    const std::wstring probe = JoinPath(options.installPath, kWriteTestFileName);
    {
        UniqueFile file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (file) {
            file.Reset();
            DeleteFileIfPresent(probe);
            return true;
        }
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

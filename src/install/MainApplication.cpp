#include "install/MainApplication.h"

#include <windows.h>

#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/FileSystem.h"
#include "platform/Launch.h"

namespace orv {

bool LaunchMainApplication(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log)
{
    const std::wstring path = JoinPath(installFolder, profile.mainExecutable);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        log.Warn(L"Launch skipped | Main executable is missing: " + path);
        return false;
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

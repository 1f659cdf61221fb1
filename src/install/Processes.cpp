#include "install/Processes.h"

#include <algorithm>
#include <iterator>

#include "install/Installer.h"
#include "platform/PathText.h"

namespace orv {

namespace {

// System and shell programs, then the updater itself: stopping any of them
// would take the desktop, the session or this very update down.
const wchar_t* const kProtectedStems[] = {
    L"system", L"idle", L"csrss", L"services", L"wininit", L"winlogon", L"lsass",
    L"svchost", L"explorer", L"dwm", L"taskhost", L"taskhostw", L"orvupdater", L"orvupdaterw7",
};

// The suite's own programs, which hold the files a package replaces.
const wchar_t* const kApplicationStems[] = {
    L"rjks", L"kds_lum", L"orvw_lum", L"orvstarter", L"orvvalidator", L"orvautoupdater",
    L"orvlocalupdaternet4", L"orvautoupdatevalidator", L"orvlocalupdatevalidator",
};

template <size_t N>
bool StemListed(const std::wstring& nameOrPath, const wchar_t* const (&list)[N])
{
    const std::wstring stem = LowerAscii(FileStem(nameOrPath));
    return std::any_of(std::begin(list), std::end(list), [&](const wchar_t* entry) { return stem == entry; });
}

} // namespace

bool IsProtectedProcessName(const std::wstring& nameOrPath)
{
    return StemListed(nameOrPath, kProtectedStems);
}

bool IsApplicationProcessName(const std::wstring& nameOrPath)
{
    return StemListed(nameOrPath, kApplicationStems);
}

bool IsBelowInstallFolder(const std::wstring& imagePath, const std::wstring& installFolder)
{
    if (imagePath.empty() || installFolder.empty()) {
        return false;
    }
    std::wstring folder = LowerAscii(installFolder);
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    return StartsWithNoCase(imagePath, folder);
}

StopVerdict JudgeProcess(const LockHolder& process, const std::wstring& installFolder)
{
    if (IsProtectedProcessName(FileNamePart(process.imagePath))) {
        return StopVerdict::Protected;
    }
    if (!process.inThisSession) {
        return StopVerdict::OtherSession;
    }
    return IsBelowInstallFolder(process.imagePath, installFolder) ? StopVerdict::Stop
                                                                  : StopVerdict::OutsideInstallFolder;
}

std::wstring LeftRunningText(StopVerdict verdict, const LockHolder& process)
{
    const std::wstring what = L" | " + process.imagePath + L" | PID=" + std::to_wstring(process.pid);
    switch (verdict) {
    case StopVerdict::OtherSession:
        return L"Process left running; it belongs to another session" + what;
    case StopVerdict::OutsideInstallFolder:
        return L"Process left running; it was not started from the install folder" + what;
    default:
        return std::wstring();
    }
}

} // namespace orv

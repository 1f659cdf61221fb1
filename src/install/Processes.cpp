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

bool MayStopLockHolder(const LockHolder& holder, const std::wstring& installFolder)
{
    const std::wstring name = FileNamePart(holder.imagePath);
    if (IsProtectedProcessName(name)) {
        return false;
    }
    return IsApplicationProcessName(name) || IsBelowInstallFolder(holder.imagePath, installFolder);
}

} // namespace orv

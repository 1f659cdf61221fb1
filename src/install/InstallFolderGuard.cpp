#include "install/InstallFolderGuard.h"

#include <windows.h>

#include <vector>

#include "install/Installer.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace orv {

namespace {

enum class Found { Missing, Unopenable, Opened };

// What is at path, opened for its attributes only (which no other program's
// sharing mode can refuse), the link itself rather than what it points to.
struct Inspection {
    Found found = Found::Missing;
    DWORD attributes = 0;
    DWORD names = 0;
    std::wstring realPath;
};

Inspection Inspect(const std::wstring& path)
{
    Inspection seen;
    UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        seen.found = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Found::Missing
                                                                                     : Found::Unopenable;
        return seen;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    DWORD length = 0;
    // A too small buffer is answered with the size it needs.
    for (int tries = 0; tries < 2; ++tries) {
        length = ::GetFinalPathNameByHandleW(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length < buffer.size()) {
            break;
        }
        buffer.assign(length + 1, L'\0');
    }
    if (::GetFileInformationByHandle(file.Get(), &information) && length > 0 && length < buffer.size()) {
        seen.found = Found::Opened;
        seen.attributes = information.dwFileAttributes;
        seen.names = information.nNumberOfLinks;
        seen.realPath = WithoutFinalPathPrefix(std::wstring(buffer.data(), length));
    } else {
        seen.found = Found::Unopenable;
    }
    return seen;
}

} // namespace

InstallFolderGuard::InstallFolderGuard(const std::wstring& installFolder) : installFolder_(installFolder)
{
}

bool InstallFolderGuard::Contains(const std::wstring& path)
{
    return Judge(path, Kind::File);
}

bool InstallFolderGuard::ContainsOwnContent(const std::wstring& path)
{
    return Judge(path, Kind::BackupSource);
}

// Resolved once, when first needed (the run may have made the folder first).
bool InstallFolderGuard::RealRootKnown()
{
    if (realRoot_.empty()) {
        const Inspection root = Inspect(installFolder_);
        if (root.found == Found::Opened) {
            realRoot_ = root.realPath;
        }
    }
    return !realRoot_.empty();
}

bool InstallFolderGuard::Judge(const std::wstring& path, Kind kind)
{
    const std::wstring relative = RelativeToInstallFolder(path, installFolder_);
    if (relative.empty()) {
        // The install folder itself, whatever it is, is where the run was
        // sent; anything else outside it never is.
        return EqualsNoCase(StripTrailingSeparators(path), StripTrailingSeparators(installFolder_));
    }
    if (!RealRootKnown()) {
        return false;
    }
    const std::wstring key = LowerAscii(StripTrailingSeparators(path));
    if (kind == Kind::Folder) {
        const auto known = folders_.find(key);
        if (known != folders_.end()) {
            return known->second;
        }
    }
    const Inspection seen = Inspect(path);
    bool contained = false;
    if (seen.found == Found::Missing) {
        // Nothing there yet: only the folders above can lead elsewhere.
        return Judge(ParentPath(path), Kind::Folder);
    }
    if (seen.found == Found::Opened) {
        contained = !(seen.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    !(kind == Kind::BackupSource && seen.names > 1) && IsRealPathAt(seen.realPath, realRoot_, relative);
    } else {
        // It exists but cannot even be opened for its attributes: the
        // reparse mark and the folders above are all that can be judged.
        contained = !IsReparsePoint(path) && Judge(ParentPath(path), Kind::Folder);
    }
    if (kind == Kind::Folder) {
        folders_[key] = contained;
    }
    return contained;
}

} // namespace orv

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
    // The basic and standard records, not the one-call information, which
    // Wine takes hundreds of times longer for (it also reads the volume's).
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
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
    if (!::GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !::GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &standard, sizeof(standard))) {
        seen.found = Found::Unopenable;
        return seen;
    }
    seen.found = Found::Opened;
    seen.attributes = basic.FileAttributes;
    seen.names = standard.NumberOfLinks;
    // Some file systems (network redirectors, RAM disks) report no real path.
    if (length > 0 && length < buffer.size()) {
        seen.realPath = WithoutFinalPathPrefix(std::wstring(buffer.data(), length));
    }
    return seen;
}

} // namespace

InstallFolderGuard::InstallFolderGuard(const std::wstring& installFolder) : installFolder_(installFolder)
{
}

bool InstallFolderGuard::Contains(const std::wstring& path, FoundAtPath* found)
{
    return Judge(path, Kind::File, found);
}

bool InstallFolderGuard::ContainsOwnContent(const std::wstring& path, FoundAtPath* found)
{
    return Judge(path, Kind::BackupSource, found);
}

bool InstallFolderGuard::ContainsFolder(const std::wstring& folder)
{
    return Judge(folder, Kind::Folder);
}

// Resolved once, when first needed (the run may have made the folder first).
bool InstallFolderGuard::RootOpened()
{
    if (!rootOpened_) {
        const Inspection root = Inspect(installFolder_);
        rootOpened_ = root.found == Found::Opened;
        realRoot_ = root.realPath;
    }
    return rootOpened_;
}

bool InstallFolderGuard::Judge(const std::wstring& path, Kind kind, FoundAtPath* found)
{
    if (found != nullptr) {
        *found = FoundAtPath{true, false, 0};
    }
    const std::wstring relative = RelativeToInstallFolder(path, installFolder_);
    if (relative.empty()) {
        // The install folder itself, whatever it is, is where the run was
        // sent; anything else outside it never is.
        return EqualsNoCase(StripTrailingSeparators(path), StripTrailingSeparators(installFolder_));
    }
    if (!RootOpened()) {
        return false;
    }
    const std::wstring key = LowerAscii(StripTrailingSeparators(path));
    const auto known = folders_.find(key);
    if (kind == Kind::Folder && known != folders_.end()) {
        return known->second;
    }
    const Inspection seen = Inspect(path);
    if (seen.found == Found::Missing) {
        if (found != nullptr) {
            found->exists = false;
        }
        // Nothing there yet: only the folders above can lead elsewhere.
        return Judge(ParentPath(path), Kind::Folder);
    }
    if (found != nullptr && seen.found == Found::Opened) {
        found->attributesRead = true;
        found->attributes = seen.attributes;
    }
    const bool ownContent = !(kind == Kind::BackupSource && seen.names > 1);
    bool contained = false;
    if (!realRoot_.empty() && !seen.realPath.empty()) {
        contained = ownContent && !(seen.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    IsRealPathAt(seen.realPath, realRoot_, relative);
    } else {
        // A volume that reports no real paths, or a file that cannot even be
        // opened for its attributes: the reparse marks of it and of every
        // folder above are what can be judged.
        contained = ownContent && !(seen.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !IsReparsePoint(path) &&
                    Judge(ParentPath(path), Kind::Folder);
    }
    if (kind == Kind::Folder) {
        folders_[key] = contained;
    }
    return contained;
}

} // namespace orv

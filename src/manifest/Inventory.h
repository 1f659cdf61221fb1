#pragma once
// What of a package is installed: every question is asked by the package's
// stem (its file name without the last extension) inside the install folder.
// The questions and their order are pure (Inventory.cpp) and put to an
// InstallFolderView; the updater's view is the file system through Win32
// (InventoryWin.cpp), the publisher's tool brings views of its own.
#include <memory>
#include <string>
#include <vector>

namespace orv {

// Candidate files of a package, tried in this order: stem + extension.
extern const wchar_t* const kCandidateExtensions[13];

// What the inventory asks of an install folder; names are relative to it.
class InstallFolderView {
public:
    virtual ~InstallFolderView() = default;
    virtual bool IsDirectory(const std::wstring& name) const = 0;
    virtual bool IsFile(const std::wstring& name) const = 0;
    // The files (not folders) that the pattern stem + ".*" finds, in the
    // order the folder lists them.
    virtual std::vector<std::wstring> FilesOfStem(const std::wstring& stem) const = 0;
    // The file version of a file's version resource, empty when it has none.
    virtual std::wstring FileVersion(const std::wstring& name) const = 0;
    // Whether the updater that asks is this folder's "OrvUpdaterW7.exe";
    // then version is that program's own file version.
    virtual bool UpdaterRunsHere(std::wstring& version) const = 0;
};

struct InstalledPackage {
    bool installed = false;
    // The file version of the first file of the package, "0.0.0.0" when that
    // file carries none, empty when nothing of the package was found.
    std::wstring version;
};

// The updater's own package: the stem "OrvUpdater", in any letter case.
bool IsSelfPackageName(const std::wstring& packageName);

InstalledPackage FindInstalledPackage(const std::wstring& packageName, const InstallFolderView& folder);

// The install folder as the running updater sees it.
std::unique_ptr<InstallFolderView> FileSystemFolderView(const std::wstring& installFolder);

// The updater's own package, answered from the running executable when that
// executable is the install folder's "OrvUpdaterW7.exe".
bool IsUpdaterSelfPackage(const std::wstring& packageName, const std::wstring& installFolder,
                          const std::wstring& runningExecutable);

} // namespace orv

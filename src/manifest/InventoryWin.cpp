#include "manifest/Inventory.h"

#include "manifest/Version.h"
#include "platform/FileSystem.h"
#include "platform/ProgramInfo.h"

namespace orv {

namespace {

std::wstring ComparableFolder(const std::wstring& folder)
{
    return StripTrailingSeparators(FullPath(folder));
}

bool RunsFrom(const std::wstring& installFolder, const std::wstring& runningExecutable)
{
    return EqualsNoCase(ComparableFolder(ParentPath(runningExecutable)), ComparableFolder(installFolder)) &&
           EqualsNoCase(FileNamePart(runningExecutable), kProgramExeName);
}

class FileSystemView : public InstallFolderView {
public:
    explicit FileSystemView(const std::wstring& installFolder) : folder_(installFolder) {}

    bool IsDirectory(const std::wstring& name) const override { return DirectoryExists(JoinPath(folder_, name)); }
    bool IsFile(const std::wstring& name) const override { return FileExists(JoinPath(folder_, name)); }
    std::vector<std::wstring> FilesOfStem(const std::wstring& stem) const override
    {
        return ListMatchingFiles(JoinPath(folder_, stem + L".*"));
    }
    std::wstring FileVersion(const std::wstring& name) const override
    {
        return GetFileVersionText(JoinPath(folder_, name));
    }
    bool UpdaterRunsHere(std::wstring& version) const override
    {
        const std::wstring running = GetModulePath();
        if (!RunsFrom(folder_, running)) {
            return false;
        }
        version = GetFileVersionText(running);
        return true;
    }

private:
    std::wstring folder_;
};

} // namespace

std::unique_ptr<InstallFolderView> FileSystemFolderView(const std::wstring& installFolder)
{
    return std::make_unique<FileSystemView>(installFolder);
}

bool IsUpdaterSelfPackage(const std::wstring& packageName, const std::wstring& installFolder,
                          const std::wstring& runningExecutable)
{
    return IsSelfPackageName(packageName) && RunsFrom(installFolder, runningExecutable);
}

} // namespace orv

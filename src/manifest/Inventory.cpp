#include "manifest/Inventory.h"

#include <windows.h>

#include "manifest/Version.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "platform/ProgramInfo.h"

namespace orv {

const wchar_t* const kCandidateExtensions[13] = {L".exe",  L".dll",  L".json", L".accdb", L".mdb",
                                                 L".rpt",  L".xlsx", L".xlsm", L".xls",   L".pdf",
                                                 L".chm",  L".config", L".xml"};

namespace {

const wchar_t kSelfPackageStem[] = L"OrvUpdater";
const wchar_t kNoVersionResource[] = L"0.0.0.0";

// Downloads, replaced files and backups lie beside the real files and say
// nothing about what is installed.
bool IsLeftover(const std::wstring& fileName)
{
    return EndsWithNoCase(fileName, L".zip") || EndsWithNoCase(fileName, L".old") ||
           EndsWithNoCase(fileName, L".bak");
}

std::wstring FirstCandidateFile(const std::wstring& stem, const std::wstring& installFolder)
{
    for (const wchar_t* extension : kCandidateExtensions) {
        const std::wstring candidate = JoinPath(installFolder, stem + extension);
        if (FileExists(candidate)) {
            return candidate;
        }
    }
    return std::wstring();
}

// The first file named stem + ".*" that is not a leftover; empty when there
// is none or the folder cannot be listed.
std::wstring FirstOtherFile(const std::wstring& stem, const std::wstring& installFolder)
{
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(installFolder, stem + L".*").c_str(), &entry));
    if (!find) {
        return std::wstring();
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLeftover(entry.cFileName)) {
            return JoinPath(installFolder, entry.cFileName);
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return std::wstring();
}

std::wstring VersionOrPresent(const std::wstring& file)
{
    const std::wstring version = GetFileVersionText(file);
    return version.empty() ? std::wstring(kNoVersionResource) : version;
}

std::wstring ComparableFolder(const std::wstring& folder)
{
    return StripTrailingSeparators(FullPath(folder));
}

} // namespace

bool IsUpdaterSelfPackage(const std::wstring& packageName, const std::wstring& installFolder,
                          const std::wstring& runningExecutable)
{
    if (!EqualsNoCase(FileStem(packageName), kSelfPackageStem)) {
        return false;
    }
    return EqualsNoCase(ComparableFolder(ParentPath(runningExecutable)), ComparableFolder(installFolder)) &&
           EqualsNoCase(FileNamePart(runningExecutable), kProgramExeName);
}

bool IsPackageInstalled(const std::wstring& packageName, const std::wstring& installFolder)
{
    const std::wstring stem = FileStem(packageName);
    if (stem.empty()) {
        return false;
    }
    if (IsUpdaterSelfPackage(packageName, installFolder, GetModulePath())) {
        return true;
    }
    if (DirectoryExists(JoinPath(installFolder, stem))) {
        return true;
    }
    if (!FirstCandidateFile(stem, installFolder).empty()) {
        return true;
    }
    return !FirstOtherFile(stem, installFolder).empty();
}

std::wstring GetInstalledVersion(const std::wstring& packageName, const std::wstring& installFolder)
{
    const std::wstring running = GetModulePath();
    if (IsUpdaterSelfPackage(packageName, installFolder, running)) {
        return GetFileVersionText(running);
    }
    const std::wstring stem = FileStem(packageName);
    std::wstring file = FirstCandidateFile(stem, installFolder);
    if (file.empty()) {
        file = FirstOtherFile(stem, installFolder);
    }
    return file.empty() ? std::wstring() : VersionOrPresent(file);
}

} // namespace orv

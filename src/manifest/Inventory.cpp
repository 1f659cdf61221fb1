#include "manifest/Inventory.h"

#include <cwchar>

#include "platform/PathSafety.h"
#include "platform/PathText.h"

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

// Opening a device to read its version ("NUL.exe" is NUL) can block for
// ever; a stem or file name that could reach one, or that Windows would
// change, is never probed.
bool IsProbeName(const std::wstring& name)
{
    return IsSafeRelativePath(name) && name.find_first_of(L"\\/") == std::wstring::npos;
}

std::wstring FirstCandidateFile(const std::wstring& stem, const InstallFolderView& folder)
{
    for (const wchar_t* extension : kCandidateExtensions) {
        if (folder.IsFile(stem + extension)) {
            return stem + extension;
        }
    }
    return std::wstring();
}

// The first candidate among the files that one listing of stem + ".*"
// found, in table order: one look at the folder rather than one per
// extension. The folder matched the stem as it matches names; the
// extensions are ASCII. A stem holding "~" may have matched a file's short
// name instead, whose long name says nothing about the candidates.
std::wstring FirstListedCandidate(const std::wstring& stem, const std::vector<std::wstring>& listed)
{
    if (stem.find(L'~') != std::wstring::npos) {
        return std::wstring();
    }
    for (const wchar_t* extension : kCandidateExtensions) {
        const size_t length = stem.size() + std::wcslen(extension);
        for (const std::wstring& name : listed) {
            if (name.size() == length && EndsWithNoCase(name, extension)) {
                return name;
            }
        }
    }
    return std::wstring();
}

// The first file named stem + ".*" that is not a leftover; empty when there
// is none or the folder cannot be listed.
std::wstring FirstOtherFile(const std::vector<std::wstring>& listed)
{
    for (const std::wstring& name : listed) {
        if (!IsLeftover(name) && IsProbeName(name)) {
            return name;
        }
    }
    return std::wstring();
}

} // namespace

bool IsSelfPackageName(const std::wstring& packageName)
{
    return EqualsNoCase(FileStem(packageName), kSelfPackageStem);
}

InstalledPackage FindInstalledPackage(const std::wstring& packageName, const InstallFolderView& folder)
{
    InstalledPackage found;
    if (IsSelfPackageName(packageName) && folder.UpdaterRunsHere(found.version)) {
        found.installed = true;
        return found;
    }
    const std::wstring stem = FileStem(packageName);
    if (!IsProbeName(stem)) {
        return found;
    }
    const std::vector<std::wstring> listed = folder.FilesOfStem(stem);
    std::wstring file = FirstListedCandidate(stem, listed);
    // Nothing listed may also be a folder that cannot be listed, and a short
    // name is only found by asking for it: then each candidate is asked for.
    if (file.empty() && (listed.empty() || stem.find(L'~') != std::wstring::npos)) {
        file = FirstCandidateFile(stem, folder);
    }
    if (file.empty()) {
        file = FirstOtherFile(listed);
    }
    if (!file.empty()) {
        found.version = folder.FileVersion(file);
        if (found.version.empty()) {
            found.version = kNoVersionResource;
        }
    }
    found.installed = !file.empty() || folder.IsDirectory(stem);
    return found;
}

} // namespace orv

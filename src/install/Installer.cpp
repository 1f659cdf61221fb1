#include "install/Installer.h"

#include <algorithm>
#include <cstdio>

#include "manifest/Version.h"
#include "platform/InstallLayout.h"
#include "platform/PathText.h"

namespace orv {

namespace {

bool EndsWith(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

bool IsUpdaterExecutableName(const std::wstring& path)
{
    const std::wstring name = LowerAscii(FileNamePart(path));
    return name == L"orvupdater.exe" || name == L"orvupdaterw7.exe";
}

std::wstring LowerAscii(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

uint32_t RetryPauseMs(uint32_t attempt)
{
    return attempt * 300;
}

std::wstring RelativeToRoot(const std::wstring& full, const std::wstring& root)
{
    const size_t start = full.find_first_not_of(L"\\/", std::min(root.size(), full.size()));
    return start == std::wstring::npos ? std::wstring() : full.substr(start);
}

std::wstring RelativeToInstallFolder(const std::wstring& path, const std::wstring& installFolder)
{
    std::wstring root = installFolder;
    if (!root.empty() && root.back() != L'\\') {
        root += L'\\';
    }
    return StartsWithNoCase(path, root) ? path.substr(root.size()) : std::wstring();
}

std::wstring WithoutFinalPathPrefix(const std::wstring& finalPath)
{
    if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\" + finalPath.substr(7);
    }
    return finalPath.compare(0, 4, L"\\\\?\\") == 0 ? finalPath.substr(4) : finalPath;
}

bool IsRealPathAt(const std::wstring& realPath, const std::wstring& realRoot, const std::wstring& relative)
{
    std::wstring expected = JoinPath(StripTrailingSeparators(realRoot), relative);
    std::replace(expected.begin(), expected.end(), L'/', L'\\');
    return !realRoot.empty() && EqualsNoCase(StripTrailingSeparators(realPath), StripTrailingSeparators(expected));
}

std::vector<std::wstring> SideFilesOf(const std::vector<std::wstring>& listed, const std::wstring& targetName)
{
    const std::wstring prefix = targetName + kInstallSideSuffix;
    std::vector<std::wstring> names;
    for (const std::wstring& name : listed) {
        if (StartsWithNoCase(name, prefix)) {
            names.push_back(name);
        }
    }
    return names;
}

bool IsDatabaseFileName(const std::wstring& name)
{
    const std::wstring lower = LowerAscii(name);
    return lower.compare(0, 3, L"orv") == 0 && (EndsWith(lower, L".accdb") || EndsWith(lower, L".mdb"));
}

std::wstring BackupFolderName(uint16_t year, uint16_t month, uint16_t day, uint32_t attempt)
{
    wchar_t date[16] = {};
    std::swprintf(date, 16, L"%04u%02u%02u", static_cast<unsigned>(year), static_cast<unsigned>(month),
                  static_cast<unsigned>(day));
    std::wstring name = kBackupFolderPrefix + std::wstring(date);
    if (attempt > 0) {
        name += std::to_wstring(attempt);
    }
    return name;
}

bool IncomingUpdaterMayReplace(const std::wstring& incomingVersion, const std::wstring& installedVersion)
{
    bool bothValid = false;
    const int order = CompareVersions(incomingVersion, installedVersion, &bothValid);
    return !bothValid || order > 0;
}

std::wstring StagedExecutableName(uint32_t processId, uint32_t tick)
{
    return L"OrvUpdaterW7-" + ProcessTickStamp(processId, tick) + L".exe";
}

std::wstring ProcessTickStamp(uint32_t processId, uint32_t tick)
{
    return std::to_wstring(processId) + L"-" + std::to_wstring(tick);
}

bool IsMovedAtRestart(const std::wstring& stagedName, const std::vector<std::wstring>& pendingMovePaths)
{
    return std::any_of(pendingMovePaths.begin(), pendingMovePaths.end(),
                       [&](const std::wstring& path) { return EqualsNoCase(FileNamePart(path), stagedName); });
}

std::vector<std::wstring> SplitMultiString(const std::wstring& block)
{
    std::vector<std::wstring> strings;
    size_t start = 0;
    while (start < block.size()) {
        const size_t end = std::min(block.find(L'\0', start), block.size());
        if (end > start) {
            strings.push_back(block.substr(start, end - start));
        }
        start = end + 1;
    }
    return strings;
}

} // namespace orv

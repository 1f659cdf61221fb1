#include "manifest/Selection.h"

#include "manifest/Inventory.h"
#include "manifest/Version.h"

namespace orv {

PackageDecision DecidePackage(const std::wstring& localVersion, bool installed, const std::wstring& installedVersion,
                              const std::wstring& serverVersion)
{
    bool localUsable = false;
    bool installedUsable = false;
    CompareVersions(localVersion, serverVersion, &localUsable);
    CompareVersions(installedVersion, serverVersion, &installedUsable);

    PackageDecision decision;
    decision.effectiveVersion = localVersion;
    if (installedUsable && !(localUsable && CompareVersions(localVersion, installedVersion) >= 0)) {
        decision.effectiveVersion = installedVersion;
    }
    // Removed files are fetched again even when the record says current, and
    // nothing is ever replaced by an older server version.
    bool bothValid = false;
    const int order = CompareVersions(decision.effectiveVersion, serverVersion, &bothValid);
    decision.selected = !(order >= 0 && bothValid && installed);
    return decision;
}

PackageVerdict JudgePackage(const PackageEntry& serverEntry, const PackageList& localList,
                            const InstallFolderView& folder)
{
    const PackageEntry* local = localList.Find(serverEntry.name);
    const std::wstring localVersion = local != nullptr ? local->version : std::wstring();
    const InstalledPackage installed = FindInstalledPackage(serverEntry.name, folder);
    const PackageDecision decision =
        DecidePackage(localVersion, installed.installed, installed.version, serverEntry.version);
    PackageVerdict verdict;
    verdict.selected = decision.selected;
    if (!decision.selected) {
        verdict.line = L"Package current | File=" + serverEntry.name + L" | Local=" + decision.effectiveVersion +
                       L" | Server=" + serverEntry.version;
        return verdict;
    }
    verdict.line = L"Package selected | File=" + serverEntry.name + L" | Local=" +
                   (decision.effectiveVersion.empty() ? std::wstring(L"<missing>") : decision.effectiveVersion) +
                   L" | Server=" + serverEntry.version + L" | Installed=" + (installed.installed ? L"True" : L"False");
    return verdict;
}

} // namespace orv

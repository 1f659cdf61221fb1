#include "manifest/Selection.h"

#include "log/TraceLog.h"
#include "manifest/Inventory.h"

namespace orv {

PackageList SelectPackages(const PackageList& serverList, const PackageList& localList,
                           const std::wstring& installFolder, TraceLog& log, const SelectionProgress& progress)
{
    PackageList selected;
    const int32_t total = static_cast<int32_t>(serverList.size());
    for (int32_t i = 0; i < total; ++i) {
        const PackageEntry& entry = serverList[static_cast<size_t>(i)];
        if (progress.setStatus) {
            progress.setStatus(L"Checking installed files (" + std::to_wstring(i + 1) + L" of " +
                               std::to_wstring(total) + L")...");
        }
        if (progress.setDetail) {
            progress.setDetail(entry.name);
        }
        if (progress.setOverallProgress) {
            progress.setOverallProgress(i, total);
        }

        const PackageEntry* local = localList.Find(entry.name);
        const std::wstring localVersion = local != nullptr ? local->version : std::wstring();
        const bool installed = IsPackageInstalled(entry.name, installFolder);
        const std::wstring installedVersion = GetInstalledVersion(entry.name, installFolder);
        const PackageDecision decision = DecidePackage(localVersion, installed, installedVersion, entry.version);

        if (!decision.selected) {
            log.Info(L"Package current | File=" + entry.name + L" | Local=" + decision.effectiveVersion +
                     L" | Server=" + entry.version);
            continue;
        }
        SetEntry(selected, entry);
        log.Info(L"Package selected | File=" + entry.name + L" | Local=" +
                 (decision.effectiveVersion.empty() ? std::wstring(L"<missing>") : decision.effectiveVersion) +
                 L" | Server=" + entry.version + L" | Installed=" + (installed ? L"True" : L"False"));
    }
    if (progress.setOverallProgress) {
        progress.setOverallProgress(total, total);
    }
    return selected;
}

} // namespace orv

#include "manifest/Selection.h"

#include "log/TraceLog.h"
#include "manifest/Inventory.h"

namespace orv {

PackageList SelectPackages(const PackageList& serverList, const PackageList& localList,
                           const std::wstring& installFolder, TraceLog& log, const SelectionProgress& progress)
{
    PackageList selected;
    const std::unique_ptr<InstallFolderView> folder = FileSystemFolderView(installFolder);
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
        const PackageVerdict verdict = JudgePackage(entry, localList, *folder);
        log.Info(verdict.line);
        if (verdict.selected) {
            SetEntry(selected, entry);
        }
    }
    if (progress.setOverallProgress) {
        progress.setOverallProgress(total, total);
    }
    return selected;
}

} // namespace orv

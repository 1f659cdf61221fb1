#include "manifest/Selection.h"
#include "ui/ProgressWindow.h"

PackageList SelectPackages(const PackageList& serverList, const PackageList& localList,
                           const std::wstring& installFolder, TraceLog& log, ProgressWindow& window)
{
    SelectionProgress progress;
    progress.setStatus = [&window](const std::wstring& text) { window.SetStatus(text); };
    progress.setDetail = [&window](const std::wstring& text) { window.SetDetail(text); };
    progress.setOverallProgress = [&window](int32_t done, int32_t total) { window.SetOverallProgress(done, total); };
    return SelectPackagesWithProgress(serverList, localList, installFolder, log, progress);
}

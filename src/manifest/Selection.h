#pragma once
// Which packages of the server manifest must be downloaded. A package is
// skipped only when its files are present and the known version is at least
// the server's; every doubtful case is selected. The decision for one package
// is pure (Selection.cpp); asking the install folder is SelectionWin.cpp.
#include <cstdint>
#include <functional>
#include <string>

#include "manifest/Manifest.h"

namespace orv {

class TraceLog;

struct PackageDecision {
    bool selected = true;
    // The newer of the recorded and the installed version; the installed one
    // fills in when the record is missing or unparsable.
    std::wstring effectiveVersion;
};

// The decision for one package from its recorded (local) version, whether
// any of its files are present, the version found on disk and the server's.
PackageDecision DecidePackage(const std::wstring& localVersion, bool installed, const std::wstring& installedVersion,
                              const std::wstring& serverVersion);

class InstallFolderView;

// One server entry judged against the local record (localList) and what the
// install folder holds: whether it is selected, and the trace line that
// says why.
struct PackageVerdict {
    bool selected = true;
    std::wstring line;
};
PackageVerdict JudgePackage(const PackageEntry& serverEntry, const PackageList& localList,
                            const InstallFolderView& folder);

// Where the selection reports its progress; an empty callable is skipped.
struct SelectionProgress {
    std::function<void(const std::wstring&)> setStatus;
    std::function<void(const std::wstring&)> setDetail;
    std::function<void(int32_t done, int32_t total)> setOverallProgress;
};

// The server entries to download, as copies in server order, with one INFO
// line per package.
PackageList SelectPackages(const PackageList& serverList, const PackageList& localList,
                           const std::wstring& installFolder, TraceLog& log, const SelectionProgress& progress);

} // namespace orv

#pragma once
// One update run after start-up. The objects a run owns live in one record;
// each phase of the run is a free function over it, in a file of its own.
#include <cstdint>
#include <string>
#include <vector>

#include "app/RunOptions.h"
#include "download/Downloader.h"
#include "log/TraceLog.h"
#include "manifest/Manifest.h"
#include "manifest/ProductProfile.h"
#include "ui/ProgressWindow.h"

namespace orv {

struct Session {
    explicit Session(const RunOptions& runOptions);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const RunOptions& options;
    TraceLog log;
    int exitCode = 0;
    ProductProfile profile;
    // Made only in ordinary, check-only and diagnostics runs; silent runs
    // never show it.
    ProgressWindow window;
    std::wstring workRoot;
    std::wstring manifestDir;
    std::wstring downloadDir;
    std::wstring extractDir;
    orv::Downloader downloader;
    std::vector<std::wstring> servers;
    // Every try of the manifest phase, shown to the user when it fails.
    std::vector<orv::DownloadAttempt> attempts;
    PackageList serverPackages;
    std::wstring selectedManifestPath;
    // The accepted manifest's serial (signed manifests only).
    uint64_t manifestSerial = 0;
    // The server whose manifest was accepted; packages are fetched there first.
    std::wstring selectedServer;
    PackageList localPackages;
    PackageList requiredPackages;
};

// The whole run; its result is the process exit code.
int RunSession(const RunOptions& options);

// Finds a valid manifest, loads the local state and selects the packages to
// install. False when the run ends here (exitCode tells how).
bool RunManifestPhase(Session& session);

// Downloads, extracts and installs the selected packages, reports and
// launches the application.
void RunPackagePhase(Session& session);

// The run the RunOnce entry starts after a reboot.
int RunFinishOnly(const RunOptions& options, const ProductProfile& profile, TraceLog& log);

// The built-in check of the updater's own logic: 0 or the failed check's code.
int RunSelfTest(TraceLog& log);

} // namespace orv

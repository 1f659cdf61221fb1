// The second phase of an ordinary run: every selected package is downloaded,
// extracted and installed on its own, so one that fails never stops the
// others; the local state is rewritten after each.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>

#include "app/Session.h"
#include "app/SessionText.h"
#include "install/Installer.h"
#include "install/MainApplication.h"
#include "install/Reboot.h"
#include "platform/FileSystem.h"
#include "zip/ZipPackage.h"
#include "platform/InstallLayout.h"
#include "platform/ExitCodes.h"

namespace orv {

namespace {

constexpr unsigned char kQuestionDefaultNo = 1;
constexpr size_t kNoDownload = SIZE_MAX;
constexpr int kAheadServiceMs = 20;
constexpr int kAnswerYes = 6;

const wchar_t kZipValidationPrefix[] = L"ZIP validation failed: ";

// A package must be a ZIP the extraction will take, besides the size and
// hash the manifest announced.
orv::ExpectedFile ExpectedPackage(const PackageEntry& package)
{
    orv::ExpectedFile expected{package.sizeKnown, package.size, package.sha256, {}};
    expected.accept = [](const std::wstring& path, std::wstring& error) {
        std::wstring zipError;
        if (ValidateZipPackage(path, zipError)) {
            return true;
        }
        error = kZipValidationPrefix + zipError;
        return false;
    };
    return expected;
}

// Extraction keeps the window alive (a silent window ignores the pump).
ProgressTick PumpOf(ProgressWindow& window)
{
    return [&window]() { window.PumpMessages(); };
}

// What this phase adds to the session's objects.
struct PackageRun {
    explicit PackageRun(Session& s)
        : installer(s.options.installPath, s.log, s.window, s.options.dryRun, s.profile),
          pendingPackages(s.localPackages)
    {
    }

    orv::Installer installer;
    PackageList pendingPackages;
    std::vector<std::wstring> downloadServers;
    std::vector<std::wstring> failures;
    std::vector<std::wstring> rebootFiles;
    bool anyRebootPending = false;
    // Packages that brought a new updater the hand-over has yet to put in.
    std::vector<PackageEntry> handOverPackages;
    bool restartNow = false;
    // The package whose download was begun last and not yet finished.
    size_t downloading = kNoDownload;
};

void FinishUpToDate(Session& s)
{
    std::wstring error;
    if (!WriteStateFile(StateFilePath(s.options.installPath), s.localPackages, error)) {
        s.log.Warn(L"Local manifest sync failed | " + error);
    }
    s.window.SetOverallProgress(1, 1);
    s.window.ShowInfo(s.profile.name + L" is already up to date.");
    if (!s.options.noLaunch) {
        LaunchMainApplication(s.options.installPath, s.profile, s.log);
    }
    s.window.Close();
    s.exitCode = kExitDone;
}

bool UserAgreesToInstall(Session& s)
{
    if (s.options.autoInstall) {
        return true;
    }
    const std::wstring text = std::to_wstring(s.requiredPackages.size()) +
                              L" update package(s) are available for " + s.profile.name +
                              L".\r\n\r\nInstall them now?";
    if (s.window.AskYesNo(text, L"ORV Update Available", kQuestionDefaultNo) == kAnswerYes) {
        return true;
    }
    s.log.Info(L"User postponed update installation.");
    s.window.Close();
    s.exitCode = kExitDone;
    return false;
}

// The server that delivered the manifest first, then every other one.
std::vector<std::wstring> DownloadServers(const Session& s)
{
    std::vector<std::wstring> servers;
    if (!s.selectedServer.empty()) {
        servers.push_back(s.selectedServer);
    }
    for (const std::wstring& server : s.servers) {
        const bool known = std::any_of(servers.begin(), servers.end(),
                                       [&](const std::wstring& taken) { return EqualsNoCase(taken, server); });
        if (!known) {
            servers.push_back(server);
        }
    }
    return servers;
}

std::wstring ZipPathOf(const Session& s, const PackageEntry& package)
{
    return JoinPath(s.downloadDir, package.name);
}

// Where a package comes from: every download server in turn, or the folder
// of a local manifest.
std::vector<std::wstring> PackageUrls(const Session& s, const PackageRun& run, const PackageEntry& package)
{
    std::vector<std::wstring> urls;
    if (!s.options.manifestFile.empty()) {
        urls.push_back(FileUrlFromPath(JoinPath(ParentPath(s.options.manifestFile), package.name)));
        return urls;
    }
    for (const std::wstring& server : run.downloadServers) {
        urls.push_back(PackageUrl(server, package.name));
    }
    return urls;
}

void BeginDownload(Session& s, PackageRun& run, size_t index, bool ahead)
{
    const PackageEntry& package = s.requiredPackages[index];
    s.downloader.Begin(PackageUrls(s, run, package), ZipPathOf(s, package), ExpectedPackage(package), ahead);
    run.downloading = index;
}

// On a real link a package downloads in about the time the one before it
// takes to install, and one after the other the two would add up: so while
// a package is extracted and installed, the next one downloads. Each package
// still goes through its own steps in their order; the next one's download
// lines are logged as they happen, among this one's.
void BeginNextDownload(Session& s, PackageRun& run, size_t index)
{
    if (index + 1 < s.requiredPackages.size() && !s.window.CloseRequested()) {
        BeginDownload(s, run, index + 1, true);
    }
}

bool DownloadPackage(Session& s, PackageRun& run, size_t index)
{
    const PackageEntry& package = s.requiredPackages[index];
    if (run.downloading != index) {
        BeginDownload(s, run, index, false);
    }
    std::vector<orv::DownloadAttempt> attempts;
    const bool downloaded = s.downloader.Finish(attempts);
    run.downloading = kNoDownload;
    BeginNextDownload(s, run, index);
    if (!downloaded) {
        s.log.Fail(L"Package unavailable; continuing next package | File=" + package.name + L"\r\n" +
                   AttemptSummary(attempts));
    }
    return downloaded;
}

// A package that was downloading ahead when the user closed the window is
// not installed: its download was stopped, and a ZIP that had arrived goes
// (what arrived of an unfinished one stays for the next run to go on with).
void AbandonAheadDownload(Session& s, PackageRun& run)
{
    if (run.downloading == kNoDownload) {
        return;
    }
    std::vector<orv::DownloadAttempt> attempts;
    if (s.downloader.Finish(attempts)) {
        DeleteFileIfPresent(ZipPathOf(s, s.requiredPackages[run.downloading]));
    }
    run.downloading = kNoDownload;
}

void RecordInstall(Session& s, PackageRun& run, const PackageEntry& package, const orv::InstallResult& result)
{
    run.rebootFiles.insert(run.rebootFiles.end(), result.rebootFiles.begin(), result.rebootFiles.end());
    if (!result.success) {
        run.failures.push_back(package.name + L" (one or more files failed)");
        // Neither list changes: the next run selects the package again.
        s.log.Fail(L"Package install incomplete; updater-w7.xml remains pending | File=" + package.name);
    } else if (!result.rebootRequired) {
        // The package that carries a new updater is in place only once the
        // hand-over has swapped the executable: until then only the pending
        // state names it, and the hand-over's clean-up run promotes that.
        if (result.selfUpdateHandled && !s.options.dryRun) {
            run.handOverPackages.push_back(package);
        } else {
            SetEntry(s.localPackages, package);
        }
        SetEntry(run.pendingPackages, package);
        s.log.Info(L"Package install PASS | File=" + package.name);
    } else {
        // The local state keeps the old version until the reboot has done
        // its work and the pending state is promoted.
        SetEntry(run.pendingPackages, package);
        s.log.Warn(L"Package installed with reboot-pending files | File=" + package.name);
        run.anyRebootPending = true;
    }
}

void InstallOnePackage(Session& s, PackageRun& run, const PackageEntry& package, size_t index)
{
    const std::wstring zipPath = ZipPathOf(s, package);
    const std::wstring extractFolder = JoinPath(s.extractDir, ExtractFolderName(index, package.name));
    if (!DownloadPackage(s, run, index)) {
        run.failures.push_back(package.name + L" (download failed)");
        return;
    }
    std::wstring error;
    if (!ExtractZipPackage(zipPath, extractFolder, s.log, PumpOf(s.window), error)) {
        run.failures.push_back(package.name + L" (extraction failed)");
        s.log.Fail(L"Package extraction failed; continuing next package | File=" + package.name + L" | " + error);
        // The ZIP stays: the next run downloads it again anyway.
        DeleteTree(extractFolder);
        return;
    }
    RecordInstall(s, run, package, run.installer.InstallPackage(extractFolder));
    DeleteTree(extractFolder);
    DeleteFileIfPresent(zipPath);
    if (!WriteStateFile(StateFilePath(s.options.installPath), s.localPackages, error)) {
        s.log.Fail(L"Local updater-w7.xml write failed | " + error);
    }
}

// The download running ahead moves on from every pump of the window; pumps
// come far more often than it needs looking at.
std::function<void()> DownloadBeside(Session& s)
{
    using Clock = std::chrono::steady_clock;
    return [&s, next = Clock::time_point()]() mutable {
        const Clock::time_point now = Clock::now();
        if (now >= next) {
            next = now + std::chrono::milliseconds(kAheadServiceMs);
            s.downloader.Service();
        }
    };
}

void InstallPackages(Session& s, PackageRun& run)
{
    const size_t count = s.requiredPackages.size();
    s.window.SetBackgroundWork(DownloadBeside(s));
    for (size_t i = 0; i < count; ++i) {
        const PackageEntry& package = s.requiredPackages[i];
        s.window.SetStatus(L"Updating " + s.profile.name + L" (" + std::to_wstring(i + 1) + L" of " +
                           std::to_wstring(count) + L")");
        s.window.SetOverallProgress(static_cast<int32_t>(i), static_cast<int32_t>(count));
        if (s.window.CloseRequested()) {
            run.failures.push_back(package.name + L" (cancelled)");
            break;
        }
        InstallOnePackage(s, run, package, i);
    }
    AbandonAheadDownload(s, run);
    s.window.SetBackgroundWork(nullptr);
    s.window.SetOverallProgress(static_cast<int32_t>(count), static_cast<int32_t>(count));
}

// The RunOnce value is in already: the installer registers it before the
// first copy waits for the restart, so the update is finished after the
// restart even when this document cannot be written.
void RecordPendingState(Session& s, PackageRun& run)
{
    if (!run.anyRebootPending && run.handOverPackages.empty()) {
        return;
    }
    std::wstring error;
    if (!WriteStateFile(PendingStateFilePath(s.options.installPath), run.pendingPackages, error)) {
        s.log.Fail(L"Pending updater-w7.xml write failed | " + error);
        run.failures.push_back(kPendingStateFileName + std::wstring(L" (write failed)"));
    }
}

void ShowOutcome(Session& s, PackageRun& run)
{
    s.window.SetStatus(run.failures.empty() ? L"Update completed." : L"Update completed with pending failures.");
    const std::wstring text = CompletionText(s.requiredPackages.size(), run.failures);
    if (!run.rebootFiles.empty()) {
        run.restartNow = s.window.AskYesNo(RestartQuestionText(text, run.rebootFiles),
                                           L"ORV Update - Restart Required", kQuestionDefaultNo) == kAnswerYes;
    } else if (run.failures.empty()) {
        s.window.ShowInfo(text);
    } else {
        s.window.ShowError(text + L"\r\nFull log: " + s.log.path);
    }
}

// No helper will swap the new updater in: its packages' application files
// are installed all the same, so they are recorded as such, and the staged
// copy goes, so it holds back no later promotion of the pending state. The
// copy goes first: cut off after that, the pending state (which names the
// packages) is promoted by the next run, to the same end.
void GiveUpHandOver(Session& s, PackageRun& run)
{
    run.installer.DiscardStagedUpdater();
    for (const PackageEntry& package : run.handOverPackages) {
        SetEntry(s.localPackages, package);
    }
    std::wstring error;
    if (!WriteStateFile(StateFilePath(s.options.installPath), s.localPackages, error)) {
        s.log.Fail(L"Local updater-w7.xml write failed | " + error);
    }
    if (!run.anyRebootPending) {
        // Written only for the hand-over's clean-up run, which will not come.
        DeleteFileIfPresent(PendingStateFilePath(s.options.installPath));
    }
}

// The run ends with exactly one of: the self-update helper (which finishes
// the work itself), a restart, or the application.
void HandOver(Session& s, PackageRun& run)
{
    if (run.installer.HasStagedUpdater()) {
        const bool pendingReboot = !run.rebootFiles.empty() && !run.restartNow;
        if (run.installer.LaunchSelfUpdateHelper(run.restartNow, pendingReboot, s.profile)) {
            s.window.Close();
            return;
        }
        GiveUpHandOver(s, run);
    }
    if (run.restartNow) {
        RequestRestart(s.log);
    } else if (run.rebootFiles.empty() && !s.options.noLaunch) {
        LaunchMainApplication(s.options.installPath, s.profile, s.log);
    }
    s.window.Close();
}

} // namespace

void RunPackagePhase(Session& s)
{
    if (s.requiredPackages.empty()) {
        FinishUpToDate(s);
        return;
    }
    if (!UserAgreesToInstall(s)) {
        return;
    }
    // Extraction folders are named by their place in this run's list, so
    // one left by an interrupted run would never be reused or removed.
    DeleteTree(s.extractDir);
    CreateDirectories(s.extractDir);
    PackageRun run(s);
    run.downloadServers = DownloadServers(s);
    InstallPackages(s, run);
    RecordPendingState(s, run);
    ShowOutcome(s, run);
    HandOver(s, run);
    s.exitCode = run.failures.empty() ? kExitDone : kExitPending;
}

} // namespace orv

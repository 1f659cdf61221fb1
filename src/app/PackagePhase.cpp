// The second phase of an ordinary run: every selected package is downloaded,
// extracted and installed on its own, so one that fails never stops the
// others; the local state is rewritten after each.
#include <algorithm>

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

bool DownloadPackage(Session& s, const PackageRun& run, const PackageEntry& package, const std::wstring& zipPath)
{
    const orv::ExpectedFile expected = ExpectedPackage(package);
    std::vector<orv::DownloadAttempt> attempts;
    bool downloaded = false;
    if (s.options.manifestFile.empty()) {
        for (size_t i = 0; i < run.downloadServers.size() && !downloaded; ++i) {
            downloaded = s.downloader.Download(PackageUrl(run.downloadServers[i], package.name), zipPath, attempts,
                                               expected);
        }
    } else {
        const std::wstring local = JoinPath(ParentPath(s.options.manifestFile), package.name);
        downloaded = s.downloader.Download(FileUrlFromPath(local), zipPath, attempts, expected);
    }
    if (!downloaded) {
        s.log.Fail(L"Package unavailable; continuing next package | File=" + package.name + L"\r\n" +
                   AttemptSummary(attempts));
    }
    return downloaded;
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
    const std::wstring zipPath = JoinPath(s.downloadDir, package.name);
    const std::wstring extractFolder = JoinPath(s.extractDir, ExtractFolderName(index, package.name));
    if (!DownloadPackage(s, run, package, zipPath)) {
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

void InstallPackages(Session& s, PackageRun& run)
{
    const size_t count = s.requiredPackages.size();
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

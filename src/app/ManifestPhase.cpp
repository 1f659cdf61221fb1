// The first phase of an ordinary run: a valid manifest from the first server
// that delivers one, the local package state, and the selection of updates.
#include "app/Elevation.h"
#include "app/Session.h"
#include "app/SessionText.h"
#include "manifest/Authenticity.h"
#include "manifest/Selection.h"
#include "platform/ExitCodes.h"
#include "platform/FileSystem.h"
#include "platform/InstallLayout.h"
#include "platform/PublisherKey.h"

namespace orv {

namespace {

const wchar_t kManifestValidation[] = L"ManifestValidation";

// Nothing announces the size of a manifest or its signature, so an endless
// or trickling answer is cut off here: far above any real manifest, and
// well within the time a slow line needs for one.
constexpr uint64_t kMaxManifestBytes = 4 * 1048576;
constexpr uint64_t kManifestTrySeconds = 120;

orv::ExpectedFile ManifestExpectation(uint64_t maxSize)
{
    orv::ExpectedFile expected;
    expected.maxSize = maxSize;
    expected.limitSeconds = kManifestTrySeconds;
    return expected;
}

// A link planted where a work folder belongs would let downloads and
// extraction write wherever it points: only the link itself may go.
bool RemovePlantedLink(Session& s, const std::wstring& folder)
{
    if (!IsReparsePoint(folder)) {
        return true;
    }
    if (DeleteTree(folder) && !IsReparsePoint(folder) && !DirectoryExists(folder)) {
        s.log.Warn(L"Link planted at a work folder removed | " + folder);
        return true;
    }
    s.log.Fail(L"Work folder is a link that cannot be removed; the update was not started | " + folder);
    return false;
}

bool PrepareWorkFolders(Session& s)
{
    s.workRoot = WorkFolderPath(s.options.installPath);
    s.manifestDir = JoinPath(s.workRoot, kManifestFolderName);
    s.downloadDir = JoinPath(s.workRoot, kDownloadFolderName);
    s.extractDir = JoinPath(s.workRoot, kExtractFolderName);
    for (const std::wstring& folder :
         {ParentPath(s.workRoot), s.workRoot, s.manifestDir, s.downloadDir, s.extractDir}) {
        if (!RemovePlantedLink(s, folder)) {
            return false;
        }
    }
    // A folder that cannot be made shows up later as a failed download or
    // extraction, with a better message than any we could give here.
    for (const std::wstring* folder : {&s.manifestDir, &s.downloadDir, &s.extractDir}) {
        CreateDirectories(*folder);
    }
    return true;
}

// The signature of a manifest just fetched, from the same base. A signature
// left from an earlier run must never stand in for a missing one.
void FetchSignature(Session& s, const std::wstring& manifestUrl, const std::wstring& manifestPath)
{
    const std::wstring signaturePath = SignaturePathOf(manifestPath);
    DeleteFileIfPresent(signaturePath);
    s.downloader.Download(manifestUrl + kSignatureSuffix, signaturePath, s.attempts,
                          ManifestExpectation(kMaxSignatureBytes));
}

void FetchManifestFromServers(Session& s)
{
    for (size_t i = 0; i < s.servers.size() && s.selectedManifestPath.empty(); ++i) {
        const std::wstring url = ManifestUrl(s.servers[i]);
        const std::wstring localPath = JoinPath(s.manifestDir, L"server-" + std::to_wstring(i + 1) + L"-updater.xml");
        if (!s.downloader.Download(url, localPath, s.attempts, ManifestExpectation(kMaxManifestBytes))) {
            continue;
        }
        if (kHasPublisherKey) {
            FetchSignature(s, url, localPath);
        }
        std::wstring error;
        PackageList packages;
        if (!ReadAuthenticManifest(localPath, s.options.installPath, packages, s.manifestSerial, error)) {
            s.attempts.push_back(orv::DownloadAttempt{url, kManifestValidation, error});
            s.log.Fail(L"Manifest validation FAIL | URL=" + url + L" | " + error);
            continue;
        }
        s.serverPackages = packages;
        s.selectedManifestPath = localPath;
        s.selectedServer = s.servers[i];
        s.log.Info(L"Manifest selected | URL=" + url + L" | Packages=" + std::to_wstring(packages.size()));
    }
}

void ReadLocalManifestFile(Session& s)
{
    const std::wstring& path = s.options.manifestFile;
    std::wstring error;
    PackageList packages;
    if (!ReadAuthenticManifest(path, s.options.installPath, packages, s.manifestSerial, error)) {
        s.attempts.push_back(orv::DownloadAttempt{path, kManifestValidation, error});
        return;
    }
    s.serverPackages = packages;
    s.selectedManifestPath = path;
    s.selectedServer = FileUrlFromPath(ParentPath(path));
    if (s.selectedServer.empty() || s.selectedServer.back() != L'/') {
        s.selectedServer += L"/";
    }
    s.attempts.push_back(orv::DownloadAttempt{FileUrlFromPath(path), L"LocalFile", L"PASS"});
}

// The selection reports to the run's window.
SelectionProgress SelectionProgressOf(ProgressWindow& window)
{
    SelectionProgress progress;
    progress.setStatus = [&window](const std::wstring& text) { window.SetStatus(text); };
    progress.setDetail = [&window](const std::wstring& text) { window.SetDetail(text); };
    progress.setOverallProgress = [&window](int32_t done, int32_t total) { window.SetOverallProgress(done, total); };
    return progress;
}

void ReportNoManifest(Session& s)
{
    const std::wstring summary = AttemptSummary(s.attempts);
    s.log.Fail(L"Manifest unavailable after all servers and download backends.\r\n" + summary);
    s.window.ShowError(L"The updater tried every configured server, but updater.xml is not available.\r\n\r\n"
                       L"Exact attempt details:\r\n" + summary + L"\r\nFull log: " + s.log.path);
    s.window.Close();
    s.exitCode = kExitNoManifest;
}

void LoadLocalState(Session& s)
{
    std::wstring error;
    switch (ReadLocalState(s.options.installPath, s.localPackages, error)) {
    case LocalStateSource::StateDocument:
        return;
    case LocalStateSource::LegacyDocument:
        s.log.Info(L"Imported initial package state from legacy updater.xml without modifying it.");
        return;
    case LocalStateSource::None:
        s.log.Warn(L"Local updater-w7.xml missing/invalid; installed file versions will be used | " + error);
        return;
    }
}

// Packages that need nothing are recorded with the server's entry.
void SyncCurrentPackages(Session& s)
{
    for (const PackageEntry& entry : s.serverPackages) {
        if (s.requiredPackages.Find(entry.name) == nullptr) {
            SetEntry(s.localPackages, entry);
        }
    }
}

void ReportCheck(Session& s)
{
    const std::wstring required = std::to_wstring(s.requiredPackages.size());
    const std::wstring report = L"Manifest: " + ManifestUrl(s.selectedServer) + L"\r\nPackages on server: " +
                                std::to_wstring(s.serverPackages.size()) + L"\r\nPackages requiring update: " +
                                required + L"\r\n\r\nAttempts:\r\n" + AttemptSummary(s.attempts);
    s.log.Info(L"Check-only PASS | RequiredPackages=" + required);
    if (s.options.diagnostics) {
        s.window.ShowInfo(report);
    }
    s.window.Close();
    s.exitCode = kExitDone;
}

} // namespace

bool RunManifestPhase(Session& s)
{
    const RunOptions& options = s.options;
    s.window.Create();
    s.window.SetStatus(L"Checking " + s.profile.name + L" update servers...");
    // Runs that replace nothing never ask for elevation.
    const bool replacesFiles = !options.checkOnly && !options.diagnostics && !options.dryRun;
    if (replacesFiles && !EnsureInstallFolderWritable(options, s.log)) {
        s.window.Close();
        s.exitCode = kExitDone;
        return false;
    }
    if (!PrepareWorkFolders(s)) {
        s.window.Close();
        s.exitCode = kExitPending;
        return false;
    }
    s.servers = BuildServerList(options.serverUrl, s.profile);
    if (options.manifestFile.empty()) {
        FetchManifestFromServers(s);
    } else {
        ReadLocalManifestFile(s);
    }
    if (s.selectedManifestPath.empty()) {
        ReportNoManifest(s);
        return false;
    }
    if (replacesFiles && kHasPublisherKey) {
        RecordAcceptedSerial(options.installPath, s.manifestSerial, s.log);
    }
    LoadLocalState(s);
    s.requiredPackages = SelectPackages(s.serverPackages, s.localPackages, options.installPath, s.log,
                                        SelectionProgressOf(s.window));
    SyncCurrentPackages(s);
    if (options.checkOnly || options.diagnostics) {
        ReportCheck(s);
        return false;
    }
    return true;
}

} // namespace orv

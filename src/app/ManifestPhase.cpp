// The first phase of an ordinary run: a valid manifest from the first server
// that delivers one, the local package state, and the selection of updates.
#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "app/ManifestAuthentication.h"
#include "app/SessionText.h"
#include "app/Session.h"
#include "manifest/Selection.h"
#include "platform/FileSystem.h"
#include "platform/Launch.h"
#include "platform/PublisherKey.h"

namespace {

const wchar_t kManifestValidation[] = L"ManifestValidation";
const wchar_t kLegacyStateFileName[] = L"updater.xml";

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
    s.workRoot = JoinPath(s.options.installPath, L"AUPatch\\W7Standalone");
    s.manifestDir = JoinPath(s.workRoot, L"manifest");
    s.downloadDir = JoinPath(s.workRoot, L"downloads");
    s.extractDir = JoinPath(s.workRoot, L"extract");
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
    s.downloader.Download(manifestUrl + L".sig", signaturePath, s.attempts, orv::ExpectedFile{});
}

void FetchManifestFromServers(Session& s)
{
    for (size_t i = 0; i < s.servers.size() && s.selectedManifestPath.empty(); ++i) {
        const std::wstring url = ManifestUrl(s.servers[i]);
        const std::wstring localPath = JoinPath(s.manifestDir, L"server-" + std::to_wstring(i + 1) + L"-updater.xml");
        if (!s.downloader.Download(url, localPath, s.attempts, orv::ExpectedFile{})) {
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

void ReportNoManifest(Session& s)
{
    const std::wstring summary = AttemptSummary(s.attempts);
    s.log.Fail(L"Manifest unavailable after all servers and download backends.\r\n" + summary);
    s.window.ShowError(L"The updater tried every configured server, but updater.xml is not available.\r\n\r\n"
                       L"Exact attempt details:\r\n" + summary + L"\r\nFull log: " + s.log.path);
    s.window.Close();
    s.exitCode = 10;
}

void LoadLocalState(Session& s)
{
    std::wstring error;
    if (ReadManifestFile(StateFilePath(s.options.installPath), s.localPackages, error)) {
        return;
    }
    std::wstring legacyError;
    if (ReadManifestFile(JoinPath(s.options.installPath, kLegacyStateFileName), s.localPackages, legacyError)) {
        // The legacy file belongs to the earlier updater: read, never written.
        s.log.Info(L"Imported initial package state from legacy updater.xml without modifying it.");
        return;
    }
    s.localPackages.Clear();
    s.log.Warn(L"Local updater-w7.xml missing/invalid; installed file versions will be used | " + error);
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
    s.exitCode = 0;
}

} // namespace

std::wstring StateFilePath(const std::wstring& installPath)
{
    return JoinPath(installPath, L"updater-w7.xml");
}

std::wstring FileUrlFromPath(const std::wstring& path)
{
    DWORD length = static_cast<DWORD>(path.size() * 3 + 32);
    std::vector<wchar_t> buffer(length, L'\0');
    if (FAILED(::UrlCreateFromPathW(path.c_str(), buffer.data(), &length, 0))) {
        return std::wstring();
    }
    return std::wstring(buffer.data());
}

bool RunManifestPhase(Session& s)
{
    const RunOptions& options = s.options;
    s.window.Create();
    s.window.SetStatus(L"Checking " + s.profile.name + L" update servers...");
    // Runs that replace nothing never ask for elevation.
    const bool replacesFiles = !options.checkOnly && !options.diagnostics && !options.dryRun;
    if (replacesFiles && !EnsureInstallFolderWritable(options, s.log)) {
        s.window.Close();
        s.exitCode = 0;
        return false;
    }
    if (!PrepareWorkFolders(s)) {
        s.window.Close();
        s.exitCode = 20;
        return false;
    }
    s.servers = BuildServerList(options, s.profile);
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
    s.requiredPackages = SelectPackages(s.serverPackages, s.localPackages, options.installPath, s.log, s.window);
    SyncCurrentPackages(s);
    if (options.checkOnly || options.diagnostics) {
        ReportCheck(s);
        return false;
    }
    return true;
}

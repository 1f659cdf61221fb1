#pragma once
// Every name the updater gives what it puts in an install folder (and beside
// its own executable), in one place, so no part of the program can spell one
// of them differently from another. Pure: no Windows headers.
#include <cstdint>
#include <string>

#include "platform/PathText.h"

namespace orv {

// State documents: the package state, the state that waits for a reboot,
// and the earlier updater's state, which is read and never written.
constexpr const wchar_t* kStateFileName = L"updater-w7.xml";
constexpr const wchar_t* kPendingStateFileName = L"pending-updater-w7.xml";
constexpr const wchar_t* kLegacyStateFileName = L"updater.xml";
// The highest manifest serial accepted so far (signed manifests only).
constexpr const wchar_t* kSerialFileName = L"updater-w7-serial.txt";

// Logs: the trace log in the install folder (or, when that takes no files,
// its fall-back in the temporary folder) and the error log beside the exe.
constexpr const wchar_t* kTraceFileName = L"updater-w7-trace.log";
constexpr const wchar_t* kTraceFallbackFileName = L"OrvUpdaterW7-updater-trace.log";
constexpr const wchar_t* kErrorLogFileName = L"OrvUpdaterW7-ErrorLog.txt";

// The work folders of a run: the manifests fetched, the packages downloaded
// and the trees extracted from them.
constexpr const wchar_t* kWorkFolderName = L"AUPatch\\W7Standalone";
constexpr const wchar_t* kManifestFolderName = L"manifest";
constexpr const wchar_t* kDownloadFolderName = L"downloads";
constexpr const wchar_t* kExtractFolderName = L"extract";

// Stage folders: copies the system moves into place at the next start, and
// the new updater while the hand-over runs put it in.
constexpr const wchar_t* kRebootStageFolderName = L".orvw7-reboot-pending";
constexpr const wchar_t* kSelfUpdateStageFolderName = L".orvupdaterw7-selfupdate";

// The file that proves the install folder takes new files.
constexpr const wchar_t* kWriteTestFileName = L".orvupdaterw7-write-test";

// Backup folders are this prefix and the date (BackupFolderName).
constexpr const wchar_t* kBackupFolderPrefix = L"Tarn";

// Side files: a new copy before its rename over the target (".orv-new-" and
// the process id), a document before its rename, a download before it is
// complete (with the record that lets a later try continue it, and the
// download a backend that cannot continue it makes beside it), and the
// updater's own executable while it is swapped.
constexpr const wchar_t* kInstallSideSuffix = L".orv-new-";
constexpr const wchar_t* kDocumentSideSuffix = L".new";
constexpr const wchar_t* kDownloadSideSuffix = L".part";
constexpr const wchar_t* kDownloadResumeSuffix = L".part.resume";
constexpr const wchar_t* kDownloadAsideSuffix = L".part.fresh";
constexpr const wchar_t* kSelfUpdateNewSuffix = L".selfupdate-new";
constexpr const wchar_t* kSelfUpdateBackupSuffix = L".selfupdate-backup";

inline std::wstring StateFilePath(const std::wstring& installFolder)
{
    return JoinPath(installFolder, kStateFileName);
}

inline std::wstring PendingStateFilePath(const std::wstring& installFolder)
{
    return JoinPath(installFolder, kPendingStateFileName);
}

inline std::wstring WorkFolderPath(const std::wstring& installFolder)
{
    return JoinPath(installFolder, kWorkFolderName);
}

inline std::wstring RebootStageFolderPath(const std::wstring& installFolder)
{
    return JoinPath(installFolder, kRebootStageFolderName);
}

inline std::wstring SelfUpdateStageFolderPath(const std::wstring& installFolder)
{
    return JoinPath(installFolder, kSelfUpdateStageFolderName);
}

// The side file a new copy is written to before it is renamed over the
// target. It sits beside the target so the rename stays on one volume.
inline std::wstring SideFilePath(const std::wstring& target, uint32_t processId)
{
    return target + kInstallSideSuffix + std::to_wstring(processId);
}

} // namespace orv

#pragma once
// Puts extracted package trees into the install folder. One installer lives
// for the whole package phase of a run, so what it learns (the backup folder,
// the files already backed up, the staged copy of the updater) carries from
// package to package.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

class TraceLog;
class ProgressWindow;
struct ProductProfile;

namespace orv {

// The outcome of one package.
struct InstallResult {
    bool success = true;
    bool rebootRequired = false;
    bool selfUpdateHandled = false;
    std::vector<std::wstring> installedFiles;
    std::vector<std::wstring> rebootFiles;
    std::vector<std::wstring> failedFiles;
};

class Installer {
public:
    Installer(const std::wstring& installFolder, TraceLog& log, ProgressWindow& progress, bool dryRun);
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    // Installs one extracted package: stops the suite's programs, makes sure
    // the databases are backed up, then walks the tree.
    InstallResult InstallPackage(const std::wstring& sourceFolder);

    // Starts the staged copy of the updater with "/selfreplace" after the run;
    // true when the helper process was started.
    bool LaunchSelfUpdateHelper(bool restartAfter, bool pendingReboot, const ProductProfile& profile);

    std::wstring installFolder;
    TraceLog* log;
    ProgressWindow* progress;
    bool dryRun;
    // Filled by a successful staging of the updater's own executable; the
    // session tests stagedExecutable to know a self-update waits.
    std::wstring stagedExecutable;
    std::wstring selfUpdateTarget;
    // The dated backup folder of this run, made on first use.
    std::wstring backupFolder;
    bool databaseBackupDone = false;
    // Lower-cased full paths already backed up in this run.
    std::set<std::wstring> backedUpFiles;
    // Per folder, the side files that runs cut off before their rename left
    // there, read once: a search costs as much as the folder is long.
    std::map<std::wstring, std::vector<std::wstring>> leftSideFiles;

private:
    bool InstallTree(const std::wstring& root, const std::wstring& folder, InstallResult& result);
    // One ordinary file of the walk, and the updater's own executable.
    bool InstallFile(const std::wstring& root, const std::wstring& full, InstallResult& result);
    bool InstallUpdaterExecutable(const std::wstring& incoming, const std::wstring& target, InstallResult& result);
    bool CopyWithRecovery(const std::wstring& source, const std::wstring& target, InstallResult& result);
    void DeleteLeftSideFiles(const std::wstring& target);
    bool ScheduleAtReboot(const std::wstring& source, const std::wstring& target, InstallResult& result);
    void StageSelfUpdate(const std::wstring& incoming, const std::wstring& installed, InstallResult& result);
    bool BackupExistingFile(const std::wstring& path, InstallResult& result);
    bool BackupDatabases(InstallResult& result);
    bool EnsureBackupFolder();
    void StopApplicationProcesses();
    void ReleaseFileLocks(const std::wstring& file);

    // Pumps the progress window; given to every comparison and copy.
    ProgressTick Tick() const;
};

// True for "orvupdater.exe" and "orvupdaterw7.exe" in any letter case.
bool IsUpdaterExecutableName(const std::wstring& path);

} // namespace orv

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

#include "install/InstallFolderGuard.h"
#include "platform/FileSystem.h"

namespace orv {

class TraceLog;
class ProgressWindow;
struct ProductProfile;

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
    // The profile names the product the RunOnce value finishes after a
    // restart; it outlives the installer.
    Installer(const std::wstring& installFolder, TraceLog& log, ProgressWindow& progress, bool dryRun,
              const ProductProfile& profile);
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    // Installs one extracted package: stops the suite's programs, makes sure
    // the databases are backed up, then walks the tree.
    InstallResult InstallPackage(const std::wstring& sourceFolder);

    // Whether a package brought a new updater that waits, staged, for the
    // hand-over runs.
    bool HasStagedUpdater() const { return !stagedExecutable.empty(); }

    // Starts the staged copy of the updater with "/selfreplace" after the run;
    // true when the helper process was started.
    bool LaunchSelfUpdateHelper(bool restartAfter, bool pendingReboot, const ProductProfile& profile);

    // After a helper that could not be started: removes the staged copy,
    // which no run would ever swap in.
    void DiscardStagedUpdater();

private:
    std::wstring installFolder;
    InstallFolderGuard guard;
    TraceLog* log;
    ProgressWindow* progress;
    bool dryRun;
    const ProductProfile* profile;
    // Set once the RunOnce value is in, before the first copy waits for a restart.
    bool finishAfterRestartRegistered = false;
    // Filled by a successful staging of the updater's own executable.
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
    // The backup folder last made sure of: the walk backs up a folder's
    // files one after another.
    std::wstring lastBackupParent;
    // One pair of read buffers for every comparison of the run.
    CompareBuffers compareBuffers;

    bool InstallTree(const std::wstring& root, const std::wstring& folder, InstallResult& result);
    // One ordinary file of the walk, and the updater's own executable.
    bool InstallFile(const std::wstring& root, const std::wstring& full, InstallResult& result);
    bool InstallUpdaterExecutable(const std::wstring& incoming, const std::wstring& target, InstallResult& result);
    bool CopyWithRecovery(const std::wstring& source, const std::wstring& target, InstallResult& result);
    // True when no side file of target is left in its folder.
    bool DeleteLeftSideFiles(const std::wstring& target);
    bool ScheduleAtReboot(const std::wstring& source, const std::wstring& target, InstallResult& result);
    void StageSelfUpdate(const std::wstring& incoming, const std::wstring& installed, InstallResult& result);
    // checked: what the guard found when it has just judged path as a backup source.
    bool BackupExistingFile(const std::wstring& path, InstallResult& result, const FoundAtPath* checked = nullptr);
    bool BackupDatabases(InstallResult& result);
    bool EnsureBackupFolder();
    bool EmptyStageFolder();
    void StopApplicationProcesses();
    void ReleaseFileLocks(const std::wstring& file);

    // Pumps the progress window; given to every comparison and copy.
    ProgressTick Tick() const;
};

// The installer's rules (Installer.cpp): no system calls, so they also build
// natively.

// True for "orvupdater.exe" and "orvupdaterw7.exe" in any letter case.
bool IsUpdaterExecutableName(const std::wstring& path);

// Lower-cases the ASCII letters only: every name the installer compares
// this way is ASCII.
std::wstring LowerAscii(std::wstring text);

// How many times one file is tried before it is left to the next restart.
constexpr uint32_t kCopyAttempts = 4;

// The pause after a failed attempt grows with each attempt (300 ms steps),
// giving a program that was asked to close time to let go of the file.
uint32_t RetryPauseMs(uint32_t attempt);

// The part of full below root, without leading separators.
std::wstring RelativeToRoot(const std::wstring& full, const std::wstring& root);

// The path of an installed file relative to the install folder; empty when
// the file is not below it.
std::wstring RelativeToInstallFolder(const std::wstring& path, const std::wstring& installFolder);

// A real path as the system reports it for an open file ("\\?\C:\x",
// "\\?\UNC\server\share\x") in its ordinary form ("C:\x",
// "\\server\share\x").
std::wstring WithoutFinalPathPrefix(const std::wstring& finalPath);

// Whether the real path of something opened at relative below the install
// folder is exactly where the folder's own real path puts it: any link on
// the way (a junction, a symbolic link, a mount point) resolves elsewhere.
bool IsRealPathAt(const std::wstring& realPath, const std::wstring& realRoot, const std::wstring& relative);

// Of the names the listing of a folder's side files found, those of the file
// named targetName, whichever run made them.
std::vector<std::wstring> SideFilesOf(const std::vector<std::wstring>& listed, const std::wstring& targetName);

// "orv*.accdb" and "orv*.mdb" in any letter case: the application's
// database files, which are backed up before the first package of a run.
bool IsDatabaseFileName(const std::wstring& name);

// "Tarn" + yyyymmdd for attempt 0; later attempts append the attempt number,
// so an earlier run's backup of the same day is never mixed with this one.
std::wstring BackupFolderName(uint16_t year, uint16_t month, uint16_t day, uint32_t attempt);
constexpr uint32_t kBackupFolderAttempts = 1000;

// Whether an updater executable from a package may replace the installed
// one: always, unless both carry a valid version and the incoming one is not
// newer. A missing or unreadable version forbids nothing, because the files
// are known to differ.
bool IncomingUpdaterMayReplace(const std::wstring& incomingVersion, const std::wstring& installedVersion);

// "OrvUpdaterW7-<pid>-<tick>.exe": new for every staging, so a staged copy
// that is still running never blocks the next one.
std::wstring StagedExecutableName(uint32_t processId, uint32_t tick);

// "<pid>-<tick>": makes the names of staged copies unique per run and call.
std::wstring ProcessTickStamp(uint32_t processId, uint32_t tick);

// Whether the copy of this name in the reboot stage folder is one of the
// moves Windows will make at the next start, given every path of its list
// of pending moves (the names are unique, so the name alone decides).
bool IsMovedAtRestart(const std::wstring& stagedName, const std::vector<std::wstring>& pendingMovePaths);

// The strings of a registry multi-string block, empty ones left out (a
// pending delete has an empty target).
std::vector<std::wstring> SplitMultiString(const std::wstring& block);

} // namespace orv

#include "install/Installer.h"

#include <windows.h>

#include "log/TraceLog.h"
#include "manifest/Version.h"
#include "platform/Handles.h"
#include "ui/ProgressWindow.h"
#include "platform/PathSafety.h"

namespace orv {

Installer::Installer(const std::wstring& installFolder, TraceLog& log, ProgressWindow& progress, bool dryRun,
                     const ProductProfile& profile)
    : installFolder(installFolder), guard(installFolder), log(&log), progress(&progress), dryRun(dryRun),
      profile(&profile)
{
}

ProgressTick Installer::Tick() const
{
    ProgressWindow* window = progress;
    return [window] { window->PumpMessages(); };
}

InstallResult Installer::InstallPackage(const std::wstring& sourceFolder)
{
    InstallResult result;
    // Also in a dry run: what the run reports must match what a real run
    // would meet, and the databases are worth a copy either way.
    StopApplicationProcesses();
    if (!databaseBackupDone) {
        if (!BackupDatabases(result)) {
            result.success = false;
            log->Fail(L"Tarn database backup incomplete; this package was not installed.");
            return result;
        }
        databaseBackupDone = true;
    }
    if (!DirectoryExists(sourceFolder)) {
        result.success = false;
        result.failedFiles.push_back(sourceFolder);
        log->Fail(L"Install source directory is missing | " + sourceFolder);
        return result;
    }
    InstallTree(sourceFolder, sourceFolder, result);
    result.success = result.failedFiles.empty();
    return result;
}

bool Installer::InstallTree(const std::wstring& root, const std::wstring& folder, InstallResult& result)
{
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (!find) {
        const DWORD error = ::GetLastError();
        result.failedFiles.push_back(folder);
        log->Fail(L"Cannot enumerate install source | " + folder + L" | " + Win32ErrorText(error));
        return false;
    }
    // A failure is recorded where it happens and the walk goes on, so one
    // bad file never keeps the rest of the package out.
    bool ok = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring full = JoinPath(folder, name);
        // Links are never followed: they could lead anywhere on the machine.
        const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (link) {
                log->Warn(L"Reparse directory skipped | " + full);
            } else if (!InstallTree(root, full, result)) {
                ok = false;
            }
        } else if (link) {
            log->Warn(L"Reparse file skipped | " + full);
        } else if (!InstallFile(root, full, result)) {
            ok = false;
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return ok;
}

bool Installer::InstallFile(const std::wstring& root, const std::wstring& full, InstallResult& result)
{
    const std::wstring relative = RelativeToRoot(full, root);
    if (!IsSafeRelativePath(relative)) {
        result.failedFiles.push_back(full);
        log->Fail(L"Unsafe staged path rejected | " + relative);
        return false;
    }
    std::wstring target = JoinPath(installFolder, relative);
    if (IsUpdaterExecutableName(target)) {
        // Whichever updater name the package uses, it must replace the copy
        // that is actually running from this install folder.
        const std::wstring running = GetModulePath();
        if (EqualsNoCase(ParentPath(running), installFolder) && IsUpdaterExecutableName(running)) {
            target = running;
        }
    }
    // Reports are the users' own work once they exist.
    if (EndsWithNoCase(relative, L".rpt") && FileExists(target)) {
        log->Info(L"Protected report preserved; existing .rpt was not replaced | " + target);
        return true;
    }
    progress->SetDetail(L"Installing " + relative);
    if (!IsUpdaterExecutableName(target)) {
        return CopyWithRecovery(full, target, result);
    }
    return InstallUpdaterExecutable(full, target, result);
}

bool Installer::InstallUpdaterExecutable(const std::wstring& incoming, const std::wstring& target,
                                         InstallResult& result)
{
    const ProgressTick tick = Tick();
    if (!dryRun && !FilesEqual(incoming, target, tick) && !BackupExistingFile(target, result)) {
        return false;
    }
    StageSelfUpdate(incoming, target, result);
    if (result.selfUpdateHandled || FilesEqual(incoming, target, tick)) {
        return true;
    }
    // Not staged: only a newer (or unversioned) updater left behind is a
    // failure; an equal or older one just keeps the installed updater.
    if (IncomingUpdaterMayReplace(GetFileVersionText(incoming), GetFileVersionText(target))) {
        result.failedFiles.push_back(target);
        return false;
    }
    return true;
}

} // namespace orv

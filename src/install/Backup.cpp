#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <vector>

#include "install/Installer.h"
#include "log/TraceLog.h"
#include "ui/ProgressWindow.h"
#include "platform/PathSafety.h"

namespace orv {

namespace {

// Searched in this order, so the main database is saved first.
const wchar_t* const kDatabasePatterns[] = {L"orv*.accdb", L"orv*.mdb"};

// The file names a pattern finds in the install folder itself. The pattern
// alone is not trusted (short names let "orv*.mdb" match "orvnotes.mdbx"),
// so every name must also pass the database name rule.
std::vector<std::wstring> ListDatabaseFiles(const std::wstring& pattern)
{
    std::vector<std::wstring> names = ListMatchingFiles(pattern);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::wstring& name) { return !IsDatabaseFileName(name); }),
                names.end());
    return names;
}

std::wstring LowerCase(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    return text;
}

} // namespace

bool Installer::BackupDatabases(InstallResult& result)
{
    bool ok = true;
    for (const wchar_t* pattern : kDatabasePatterns) {
        for (const std::wstring& name : ListDatabaseFiles(JoinPath(installFolder, pattern))) {
            progress->SetDetail(L"Backing up database " + name);
            if (!BackupExistingFile(JoinPath(installFolder, name), result)) {
                ok = false;
            }
        }
    }
    if (ok) {
        log->Info(L"Tarn database backup PASS");
    }
    return ok;
}

bool Installer::BackupExistingFile(const std::wstring& path, InstallResult& result, const FoundAtPath* checked)
{
    // The guard's check may just have seen a file there.
    const bool seenFile = checked != nullptr && checked->exists && checked->attributesRead &&
                          !(checked->attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (!seenFile && !FileExists(path)) {
        return true;
    }
    // Only the first backup of a run holds the state from before the run.
    const std::wstring key = LowerCase(path);
    if (backedUpFiles.count(key) != 0) {
        return true;
    }
    const std::wstring relative = RelativeToInstallFolder(path, installFolder);
    if (relative.empty() || !IsSafeRelativePath(relative)) {
        result.failedFiles.push_back(path);
        log->Fail(L"Tarn backup rejected unsafe target path | " + path);
        return false;
    }
    // A link would copy another file, maybe one the user may not read, into
    // the backup, which the user can.
    if (checked == nullptr && !guard.ContainsOwnContent(path)) {
        result.failedFiles.push_back(path);
        log->Fail(L"Tarn backup source passes through a link; original will not be replaced | " + path);
        return false;
    }
    if (!EnsureBackupFolder()) {
        result.failedFiles.push_back(path);
        return false;
    }
    const std::wstring backup = JoinPath(backupFolder, relative);
    const std::wstring parent = ParentPath(backup);
    // Made first, so the check sees every folder the copy will write into.
    // The walk backs up one folder's files after another: the folder made
    // for the last one needs no second look.
    if (parent != lastBackupParent && CreateDirectories(parent)) {
        lastBackupParent = parent;
    }
    if (!guard.ContainsFolder(parent)) {
        result.failedFiles.push_back(path);
        log->Fail(L"Tarn backup target passes through a link; original will not be replaced | " + backup);
        return false;
    }
    // A folder that could not be made fails the copy with its own text.
    std::wstring error;
    const bool copied = parent == lastBackupParent
                            ? ComparedFile(path, compareBuffers).CopyVerified(backup, error, Tick())
                            : CopyFileVerified(path, backup, error, Tick());
    if (!copied) {
        result.failedFiles.push_back(path);
        log->Fail(L"Tarn backup failed; original will not be replaced | Source=" + path + L" | Backup=" + backup +
                  L" | " + error);
        return false;
    }
    backedUpFiles.insert(key);
    log->Info(L"Tarn backup PASS | Source=" + path + L" | Backup=" + backup);
    return true;
}

bool Installer::EnsureBackupFolder()
{
    if (!backupFolder.empty()) {
        return true;
    }
    SYSTEMTIME today{};
    ::GetLocalTime(&today);
    for (uint32_t attempt = 0; attempt < kBackupFolderAttempts; ++attempt) {
        const std::wstring full =
            JoinPath(installFolder, BackupFolderName(today.wYear, today.wMonth, today.wDay, attempt));
        if (DirectoryExists(full)) {
            continue;
        }
        if (CreateDirectories(full)) {
            backupFolder = full;
            log->Info(L"Tarn backup folder created | " + full);
            return true;
        }
    }
    log->Fail(L"Tarn backup folder could not be created under | " + installFolder);
    return false;
}

} // namespace orv

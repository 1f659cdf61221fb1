#pragma once
// Keeps every write, rename, delete and backup read of a run inside the
// install folder. Folders of an install tree (reports, databases) are often
// writable by users, and a user who turns one into a junction or link would
// make an elevated run write package content anywhere, copy any file it can
// read into the backup folder, or have Windows carry out a delayed rename
// through the link at the next start. So each path is judged by the real
// path of what it opens, as the system resolves it through every link, and
// refused when that is not where the install folder's own real path and the
// relative path put it.
#include <map>
#include <string>

namespace orv {

// What a check found at the path it judged: whether anything is there, and
// its attributes when they could be read.
struct FoundAtPath {
    bool exists = false;
    bool attributesRead = false;
    unsigned long attributes = 0;
};

class InstallFolderGuard {
public:
    explicit InstallFolderGuard(const std::wstring& installFolder);

    // Whether what is done at path stays inside the install folder: the path
    // lies below it, and neither it nor a folder above it up to the install
    // folder is or passes through a link. A path that does not exist yet is
    // judged by its nearest existing folder. found, when given, tells what
    // the check found at path (so the caller need not look again: under Wine
    // a name that is not there costs a scan of its folder).
    bool Contains(const std::wstring& path, FoundAtPath* found = nullptr);

    // The same for a file whose content is copied into a backup; a file with
    // more than one name counts as a link too, since its content is also
    // another name's, maybe outside the install folder.
    bool ContainsOwnContent(const std::wstring& path, FoundAtPath* found = nullptr);

    // The same for a folder, judged once per run.
    bool ContainsFolder(const std::wstring& folder);

private:
    enum class Kind { Folder, File, BackupSource };
    bool Judge(const std::wstring& path, Kind kind, FoundAtPath* found = nullptr);
    bool RootOpened();

    std::wstring installFolder_;
    // Empty on a volume that reports no real paths.
    std::wstring realRoot_;
    bool rootOpened_ = false;
    // Verdicts on folders, kept for the run: a file's own check resolves the
    // folders above it anyway, so these only stand in for files not made yet.
    std::map<std::wstring, bool> folders_;
};

} // namespace orv

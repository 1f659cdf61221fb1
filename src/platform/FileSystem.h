#pragma once
// File and folder helpers over the Win32 file API. None keeps
// state, opens a window or logs. Failures are a false result plus an error
// text where the signature has one; only ReadWholeFile raises.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/PathText.h"
#include "platform/TextEncoding.h"

namespace orv {

// Called while long operations work, so the caller can pump its window.
// An empty tick is simply not called.
using ProgressTick = std::function<void()>;

using ByteArray = std::vector<unsigned char>;

// The largest file ReadWholeFile accepts (64 MiB).
constexpr uint64_t kMaxWholeFileBytes = 67108864;

// Raised by ReadWholeFile with one of its three messages.
class FileReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::wstring FullPath(const std::wstring& path);
std::wstring GetModulePath();
std::wstring GetModuleDirectory();
std::wstring GetTempFolder();

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
// A junction or symbolic link (file or folder).
bool IsReparsePoint(const std::wstring& path);
uint64_t GetFileSize64(const std::wstring& path);

bool CreateDirectories(const std::wstring& folder);
bool DeleteFileIfPresent(const std::wstring& path);
bool DeleteTree(const std::wstring& folder);
// The names of the files (not folders) a wildcard pattern finds.
std::vector<std::wstring> ListMatchingFiles(const std::wstring& pattern);
// The names of everything in a folder, files and folders, but "." and "..".
std::vector<std::wstring> ListFolderEntries(const std::wstring& folder);
// Deletes every file that a wildcard pattern finds (folders stay); false
// when one of them could not be deleted.
bool DeleteMatchingFiles(const std::wstring& pattern);
bool DirectoryHasEntries(const std::wstring& folder);

// Whether this process may create files in the folder: a probe file
// (".orvupdaterw7-write-test") is made there and goes again as it is closed.
bool CanCreateFilesIn(const std::wstring& folder);

bool FilesEqual(const std::wstring& a, const std::wstring& b, const ProgressTick& tick = ProgressTick());
bool CopyFileVerified(const std::wstring& source, const std::wstring& target, std::wstring& error,
                      const ProgressTick& tick = ProgressTick());

// The read buffers of file comparisons: a caller that compares many files
// keeps one set for all of them instead of two allocations per comparison.
struct CompareBuffers {
    ByteArray own;
    ByteArray other;
};

// A file that is compared with others again and again, and copied: it is
// opened once (for reading, shared for reading only) and stays open until
// this object is gone, so every comparison opens only the other file. A file
// that could not be opened is tried again at the next comparison.
class ComparedFile {
public:
    ComparedFile(const std::wstring& path, CompareBuffers& buffers);
    ~ComparedFile();
    ComparedFile(const ComparedFile&) = delete;
    ComparedFile& operator=(const ComparedFile&) = delete;

    // Whether other holds the same bytes; false when either is no readable file.
    bool Equals(const std::wstring& other, const ProgressTick& tick = ProgressTick());
    // Copies the file to target, whose folder must exist, and compares the
    // copy; a copy that differs is removed.
    bool CopyVerified(const std::wstring& target, std::wstring& error, const ProgressTick& tick = ProgressTick());

private:
    bool Open();

    std::wstring path_;
    void* handle_;
    CompareBuffers& buffers_;
};

ByteArray ReadWholeFile(const std::wstring& path);
bool WriteFileDirect(const std::wstring& path, const void* data, size_t size, std::wstring& error);
bool WriteFileAtomic(const std::wstring& path, const std::wstring& text, std::wstring& error);

// A "file:" URL for a local path; empty when the system cannot make one.
std::wstring FileUrlFromPath(const std::wstring& path);

// The system's text for a Win32 error code followed by " (Win32 n)".
std::wstring Win32ErrorText(unsigned long code);

} // namespace orv

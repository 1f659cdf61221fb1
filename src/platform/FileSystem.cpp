#include "platform/FileSystem.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwctype>

#include "platform/Handles.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

constexpr DWORD kLongPathChars = 32768;
constexpr DWORD kIoPiece = 1048576;
constexpr DWORD kCompareBlock = 65536;
constexpr DWORD kInTheWayAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool AttributesOf(const std::wstring& path, DWORD& attributes)
{
    attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES;
}

// Read-only, hidden and system files must lose those bits before they can be
// deleted or overwritten; a file without them is left as it is (one call
// fewer for nearly every file).
void ClearAttributes(const std::wstring& path, DWORD attributes)
{
    if (attributes & kInTheWayAttributes) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// Removes a file that is in the way, leaving folders alone.
void RemoveNonFolder(const std::wstring& path)
{
    DWORD attributes = 0;
    if (AttributesOf(path, attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ClearAttributes(path, attributes);
        ::DeleteFileW(path.c_str());
    }
}

bool IsDotEntry(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD,
                                   HANDLE, HANDLE, LPVOID data)
{
    const auto* tick = static_cast<const ProgressTick*>(data);
    (*tick)();
    return PROGRESS_CONTINUE;
}

} // namespace

std::wstring FullPath(const std::wstring& path)
{
    if (path.empty()) {
        return path;
    }
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring buffer(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
    if (written == 0 || written >= needed) {
        return path;
    }
    buffer.resize(written);
    return StripTrailingSeparators(buffer);
}

std::wstring GetModulePath()
{
    std::vector<wchar_t> buffer(kLongPathChars, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), kLongPathChars);
    if (length == 0 || length >= kLongPathChars) {
        return std::wstring();
    }
    return std::wstring(buffer.data(), length);
}

std::wstring GetModuleDirectory()
{
    return ParentPath(GetModulePath());
}

std::wstring GetTempFolder()
{
    std::vector<wchar_t> buffer(kLongPathChars, L'\0');
    const DWORD length = ::GetTempPathW(kLongPathChars, buffer.data());
    if (length == 0 || length >= kLongPathChars) {
        return StripTrailingSeparators(GetModuleDirectory());
    }
    return StripTrailingSeparators(std::wstring(buffer.data(), length));
}

bool FileExists(const std::wstring& path)
{
    DWORD attributes = 0;
    return AttributesOf(path, attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path)
{
    DWORD attributes = 0;
    return AttributesOf(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsReparsePoint(const std::wstring& path)
{
    DWORD attributes = 0;
    return AttributesOf(path, attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

uint64_t GetFileSize64(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool CreateDirectories(const std::wstring& folder)
{
    if (folder.empty() || DirectoryExists(folder)) {
        return true;
    }
    // A drive root is its own parent: on a drive that is not there the climb
    // stops at it, and creating it fails with the system's reason.
    const std::wstring parent = ParentPath(folder);
    if (!parent.empty() && parent != folder && !DirectoryExists(parent) && !CreateDirectories(parent)) {
        return false;
    }
    if (::CreateDirectoryW(folder.c_str(), nullptr)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    // Another process may have made it in the meantime.
    if (error == ERROR_ALREADY_EXISTS || DirectoryExists(folder)) {
        return true;
    }
    ::SetLastError(error);
    return false;
}

bool DeleteFileIfPresent(const std::wstring& path)
{
    DWORD attributes = 0;
    if (!AttributesOf(path, attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    ClearAttributes(path, attributes);
    return ::DeleteFileW(path.c_str()) != FALSE;
}

namespace {

// Everything inside folder, never following a link found there.
bool DeleteChildren(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (!find) {
        return true;
    }
    do {
        if (IsDotEntry(entry.cFileName)) {
            continue;
        }
        const std::wstring child = JoinPath(folder, entry.cFileName);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A junction or link: remove the link itself, never what it
                // points to.
                ::RemoveDirectoryW(child.c_str());
            } else if (!DeleteTree(child)) {
                return false;
            }
        } else {
            ClearAttributes(child, entry.dwFileAttributes);
            if (!::DeleteFileW(child.c_str())) {
                return false;
            }
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return true;
}

} // namespace

bool DeleteTree(const std::wstring& folder)
{
    if (!DirectoryExists(folder)) {
        return true;
    }
    std::wstring full = FullPath(folder);
    std::transform(full.begin(), full.end(), full.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    // A safety limit, whatever the caller asks: never empty a whole drive.
    if (folder.empty() || full.empty() || IsRootPathText(full)) {
        return false;
    }
    DWORD attributes = 0;
    if (AttributesOf(folder, attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link planted where our folder should be: only the link goes, and
        // it counts as removed only when nothing is left at the path.
        ::RemoveDirectoryW(folder.c_str());
        return !AttributesOf(folder, attributes);
    }
    if (!DeleteChildren(folder)) {
        return false;
    }
    ClearAttributes(folder, attributes);
    if (::RemoveDirectoryW(folder.c_str())) {
        return true;
    }
    return !DirectoryExists(folder);
}

std::vector<std::wstring> ListMatchingFiles(const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(pattern.c_str(), &entry));
    if (!find) {
        return names;
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(entry.cFileName);
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return names;
}

std::vector<std::wstring> ListFolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (!find) {
        return names;
    }
    do {
        if (!IsDotEntry(entry.cFileName)) {
            names.push_back(entry.cFileName);
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return names;
}

bool DeleteMatchingFiles(const std::wstring& pattern)
{
    bool ok = true;
    for (const std::wstring& name : ListMatchingFiles(pattern)) {
        ok = DeleteFileIfPresent(JoinPath(ParentPath(pattern), name)) && ok;
    }
    return ok;
}

bool DirectoryHasEntries(const std::wstring& folder)
{
    if (!DirectoryExists(folder)) {
        return false;
    }
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (!find) {
        return false;
    }
    do {
        if (!IsDotEntry(entry.cFileName)) {
            return true;
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return false;
}

bool CanCreateFilesIn(const std::wstring& folder)
{
    // Only ever a new file: what is already at that name (a probe left by a
    // killed run, or a link planted there) is removed, never opened, so an
    // elevated run can never be made to truncate another file through it.
    const std::wstring probe = JoinPath(folder, kWriteTestFileName);
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFile file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                      nullptr));
        if (file) {
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS || !DeleteFileIfPresent(probe)) {
            return false;
        }
    }
    return false;
}

bool FilesEqual(const std::wstring& a, const std::wstring& b, const ProgressTick& tick)
{
    CompareBuffers buffers;
    return ComparedFile(a, buffers).Equals(b, tick);
}

bool CopyFileVerified(const std::wstring& source, const std::wstring& target, std::wstring& error,
                      const ProgressTick& tick)
{
    const std::wstring parent = ParentPath(target);
    if (!CreateDirectories(parent)) {
        error = L"Cannot create directory: " + parent;
        return false;
    }
    CompareBuffers buffers;
    return ComparedFile(source, buffers).CopyVerified(target, error, tick);
}

ComparedFile::ComparedFile(const std::wstring& path, CompareBuffers& buffers)
    : path_(path), handle_(INVALID_HANDLE_VALUE), buffers_(buffers)
{
}

ComparedFile::~ComparedFile()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle_);
    }
}

bool ComparedFile::Open()
{
    if (handle_ == INVALID_HANDLE_VALUE) {
        // Without the backup flag a folder does not open, so a folder is
        // never equal to anything.
        handle_ = ::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    return handle_ != INVALID_HANDLE_VALUE;
}

bool ComparedFile::Equals(const std::wstring& other, const ProgressTick& tick)
{
    // The sizes come from the open handles: a look-up by name costs Wine a
    // scan of the folder when the name is not there.
    if (!Open()) {
        return false;
    }
    UniqueFile otherFile(::CreateFileW(other.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER ownSize{};
    LARGE_INTEGER otherSize{};
    const LARGE_INTEGER start{};
    if (!otherFile || !::GetFileSizeEx(handle_, &ownSize) || !::GetFileSizeEx(otherFile.Get(), &otherSize) ||
        ownSize.QuadPart != otherSize.QuadPart || !::SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    buffers_.own.resize(kCompareBlock);
    buffers_.other.resize(kCompareBlock);
    for (;;) {
        DWORD readOwn = 0;
        DWORD readOther = 0;
        if (!::ReadFile(handle_, buffers_.own.data(), kCompareBlock, &readOwn, nullptr) ||
            !::ReadFile(otherFile.Get(), buffers_.other.data(), kCompareBlock, &readOther, nullptr)) {
            return false;
        }
        if (readOwn != readOther) {
            return false;
        }
        if (readOwn == 0) {
            return true;
        }
        if (!std::equal(buffers_.own.begin(), buffers_.own.begin() + readOwn, buffers_.other.begin())) {
            return false;
        }
        if (tick) {
            tick();
        }
    }
}

bool ComparedFile::CopyVerified(const std::wstring& target, std::wstring& error, const ProgressTick& tick)
{
    BOOL cancel = FALSE;
    const BOOL copied = tick
        ? ::CopyFileExW(path_.c_str(), target.c_str(), CopyProgressRoutine,
                        const_cast<ProgressTick*>(&tick), &cancel, 0)
        : ::CopyFileExW(path_.c_str(), target.c_str(), nullptr, nullptr, &cancel, 0);
    if (!copied) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    if (Equals(target, tick)) {
        return true;
    }
    RemoveNonFolder(target);
    error = L"Copied file verification failed.";
    return false;
}

ByteArray ReadWholeFile(const std::wstring& path)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw FileReadError("Cannot open file");
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMaxWholeFileBytes) {
        throw FileReadError("File is too large or unreadable");
    }
    ByteArray data(static_cast<size_t>(size.QuadPart), 0);
    size_t done = 0;
    while (done < data.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kIoPiece, data.size() - done));
        DWORD read = 0;
        if (!::ReadFile(file.Get(), data.data() + done, piece, &read, nullptr) || read == 0) {
            throw FileReadError("Cannot read complete file");
        }
        done += read;
    }
    return data;
}

bool WriteFileDirect(const std::wstring& path, const void* data, size_t size, std::wstring& error)
{
    if (!CreateDirectories(ParentPath(path))) {
        error = L"Cannot create output directory.";
        return false;
    }
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kIoPiece, size - done));
        DWORD written = 0;
        if (!::WriteFile(file.Get(), bytes + done, piece, &written, nullptr) || written != piece) {
            error = Win32ErrorText(::GetLastError());
            file.Reset();
            RemoveNonFolder(path);
            return false;
        }
        done += written;
    }
    ::FlushFileBuffers(file.Get());
    return true;
}

bool WriteFileAtomic(const std::wstring& path, const std::wstring& text, std::wstring& error)
{
    const std::string bytes = WideToUtf8(text);
    const std::wstring side = path + kDocumentSideSuffix;
    RemoveNonFolder(side);
    if (!WriteFileDirect(side, bytes.data(), bytes.size(), error)) {
        return false;
    }
    if (::MoveFileExW(side.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    error = Win32ErrorText(::GetLastError());
    RemoveNonFolder(side);
    return false;
}

std::wstring Win32ErrorText(unsigned long code)
{
    if (code == 0) {
        return L"No error code was supplied.";
    }
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        code, 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    UniqueLocalMemory owner(buffer);
    std::wstring text;
    if (length > 0 && buffer != nullptr) {
        text = TrimWhitespace(std::wstring(buffer, length));
    }
    if (text.empty()) {
        text = L"Unknown Windows error";
    }
    return text + L" (Win32 " + std::to_wstring(code) + L")";
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

} // namespace orv

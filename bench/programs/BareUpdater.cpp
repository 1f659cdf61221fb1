// The bare updater: the benchmarks' measure of what any updater must spend
// to make the runs OrvUpdaterW7 makes. It is plain Win32 and miniz, with no
// code of the updater's own: it writes the same trace lines (each one opened,
// appended, flushed and closed), fetches the manifest and every package with
// WinHTTP on a worker thread that the main thread polls every 50 ms, checks
// and extracts the ZIPs with miniz (flushing and measuring every file),
// compares, backs up, copies beside, renames over and verifies every file,
// and rewrites the state document after every package; each helper makes
// exactly the calls its step list names, and no more. It imports every
// system DLL a program with the updater's window, dialogs, lock scan,
// download ladder and reboot registration must link.
//
//   BareUpdater.exe /silent /autoinstall /nolaunch /server:URL /installpath:FOLDER
//
// Only the path the benchmarks take is here: one server, a silent run, an
// install with no locked file; anything else ends the run with exit code 1.
#include <windows.h>
#include <commctrl.h>
#include <restartmanager.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <urlmon.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "miniz.h"

// WinINet's header and WinHTTP's cannot meet in one file; the one function
// that links WinINet is declared here.
extern "C" __declspec(dllimport) void* WINAPI InternetOpenW(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);

namespace {

using std::wstring;
using Bytes = std::vector<unsigned char>;

constexpr DWORD kBlock = 65536;
constexpr DWORD kPiece = 1048576;
const wchar_t kVersion[] = L"27.0.0.4";

// What a program with the updater's window, restart question, lock scan,
// three download backends and RunOnce entry imports, whether or not a run
// calls it: the loader maps every one of these DLLs at start-up. (Kept in
// the executable, unread, so that no import is optimised away.)
__attribute__((used)) const void* const kImports[] = {
    reinterpret_cast<const void*>(&InitCommonControlsEx), reinterpret_cast<const void*>(&CreateFontIndirectW),
    reinterpret_cast<const void*>(&MessageBoxW),          reinterpret_cast<const void*>(&ShellExecuteExW),
    reinterpret_cast<const void*>(&RmStartSession),       reinterpret_cast<const void*>(&RegSetValueExW),
    reinterpret_cast<const void*>(&InternetOpenW),        reinterpret_cast<const void*>(&URLDownloadToFileW),
    reinterpret_cast<const void*>(&CoInitializeEx),       reinterpret_cast<const void*>(&UrlCreateFromPathW),
};

// ---- text and paths ----------------------------------------------------

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

wstring JoinPath(const wstring& base, const wstring& relative)
{
    if (base.empty()) {
        return relative;
    }
    if (relative.empty()) {
        return base;
    }
    if (relative.size() >= 2 && relative[1] == L':') {
        return relative;
    }
    if (IsSeparator(relative[0]) || IsSeparator(base.back())) {
        return base + relative;
    }
    return base + L"\\" + relative;
}

wstring ParentPath(const wstring& path)
{
    const size_t cut = path.find_last_of(L"\\/");
    if (cut == wstring::npos) {
        return wstring();
    }
    if (cut == 2 && path.size() >= 3 && path[1] == L':') {
        return path.substr(0, 3);
    }
    return path.substr(0, cut);
}

wstring FileNamePart(const wstring& path)
{
    const size_t cut = path.find_last_of(L"\\/");
    return cut == wstring::npos ? path : path.substr(cut + 1);
}

wstring FileStem(const wstring& path)
{
    const wstring name = FileNamePart(path);
    const size_t dot = name.find_last_of(L'.');
    return dot == wstring::npos ? name : name.substr(0, dot);
}

wstring Lower(wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

bool EqualsNoCase(const wstring& a, const wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

bool EndsWithNoCase(const wstring& text, const wstring& suffix)
{
    return text.size() >= suffix.size() && _wcsicmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

bool StartsWithNoCase(const wstring& text, const wstring& prefix)
{
    return text.size() >= prefix.size() && _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

std::string WideToUtf8(const wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

wstring Utf8ToWide(const char* data, size_t size)
{
    if (size == 0) {
        return wstring();
    }
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int count = ::MultiByteToWideChar(codePage, flags, data, static_cast<int>(size), nullptr, 0);
    if (count == 0) {
        codePage = CP_ACP;
        flags = 0;
        count = ::MultiByteToWideChar(codePage, flags, data, static_cast<int>(size), nullptr, 0);
    }
    wstring text(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(codePage, flags, data, static_cast<int>(size), &text[0], count);
    return text;
}

wstring ErrorText(DWORD code)
{
    return L"Windows error (Win32 " + std::to_wstring(code) + L")";
}

bool IsReservedDeviceName(wstring segment)
{
    segment = segment.substr(0, segment.find(L'.'));
    for (wchar_t& c : segment) {
        c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
    }
    if (segment.size() == 3) {
        return segment == L"aux" || segment == L"con" || segment == L"nul" || segment == L"prn";
    }
    return segment.size() == 4 && (segment.compare(0, 3, L"com") == 0 || segment.compare(0, 3, L"lpt") == 0) &&
           segment[3] >= L'1' && segment[3] <= L'9';
}

bool IsSafeRelativePath(wstring path)
{
    if (path.empty() || path.size() > 243) {
        return false;
    }
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path[0] == L'\\' || path.find(L':') != wstring::npos) {
        return false;
    }
    if (path.back() == L'\\') {
        path.pop_back();
    }
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(L'\\', start);
        const wstring segment = path.substr(start, end == wstring::npos ? wstring::npos : end - start);
        if (segment.empty() || segment == L"." || segment == L".." || IsReservedDeviceName(segment) ||
            segment.back() == L' ' || segment.back() == L'.' ||
            segment.find_first_of(L"\"*<>?|") != wstring::npos ||
            std::any_of(segment.begin(), segment.end(), [](wchar_t c) { return c < 0x20; })) {
            return false;
        }
        if (end == wstring::npos) {
            return true;
        }
        start = end + 1;
    }
}

// ---- the trace log -----------------------------------------------------

struct TraceLog {
    wstring path;
    unsigned sequence = 0;

    void Write(const wchar_t* level, const wstring& message)
    {
        ++sequence;
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        wchar_t head[96];
        std::swprintf(head, 96, L"%ls | Seq=%u | %04u-%02u-%02u %02u:%02u:%02u.%03u | ", level, sequence,
                      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
        const std::string bytes = WideToUtf8(head + message + L"\r\n");
        if (path.empty() || bytes.empty()) {
            return;
        }
        HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return;
        }
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::FlushFileBuffers(file);
        ::CloseHandle(file);
    }
    void Info(const wstring& message) { Write(L"INFO", message); }
    void Warn(const wstring& message) { Write(L"WARN", message); }
    void Fail(const wstring& message) { Write(L"FAIL", message); }

    void Open(const wstring& folder)
    {
        const wstring candidate = JoinPath(folder, L"updater-w7-trace.log");
        HANDLE file = ::CreateFileW(candidate.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
        path = candidate;
        wchar_t module[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, module, MAX_PATH);
        Info(wstring(L"Session start | Version=") + kVersion + L" | Executable=" + module);
    }
};

// ---- files -------------------------------------------------------------

bool FileExists(const wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint64_t FileSize(const wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool CreateDirectories(const wstring& folder)
{
    if (folder.empty() || DirectoryExists(folder)) {
        return true;
    }
    const wstring parent = ParentPath(folder);
    if (!parent.empty() && parent != folder && !DirectoryExists(parent) && !CreateDirectories(parent)) {
        return false;
    }
    if (::CreateDirectoryW(folder.c_str(), nullptr)) {
        return true;
    }
    return ::GetLastError() == ERROR_ALREADY_EXISTS || DirectoryExists(folder);
}

bool DeleteFileIfPresent(const wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) != FALSE;
}

bool IsDotEntry(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

bool DeleteTree(const wstring& folder)
{
    if (!DirectoryExists(folder)) {
        return true;
    }
    wchar_t full[MAX_PATH * 4] = {};
    const DWORD length = ::GetFullPathNameW(folder.c_str(), MAX_PATH * 4, full, nullptr);
    if (length == 0 || length <= 3) {
        return false;
    }
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (IsDotEntry(entry.cFileName)) {
                continue;
            }
            const wstring child = JoinPath(folder, entry.cFileName);
            bool ok = true;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                ::RemoveDirectoryW(child.c_str());
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = DeleteTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ok = ::DeleteFileW(child.c_str()) != FALSE;
            }
            if (!ok) {
                ::FindClose(find);
                return false;
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::RemoveDirectoryW(folder.c_str()) || !DirectoryExists(folder);
}

bool FilesEqual(const wstring& a, const wstring& b)
{
    if (!FileExists(a) || !FileExists(b) || FileSize(a) != FileSize(b)) {
        return false;
    }
    HANDLE fileA = ::CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE fileB = ::CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    bool equal = fileA != INVALID_HANDLE_VALUE && fileB != INVALID_HANDLE_VALUE;
    std::vector<unsigned char> bufferA(kBlock, 0);
    std::vector<unsigned char> bufferB(kBlock, 0);
    while (equal) {
        DWORD readA = 0;
        DWORD readB = 0;
        if (!::ReadFile(fileA, bufferA.data(), kBlock, &readA, nullptr) ||
            !::ReadFile(fileB, bufferB.data(), kBlock, &readB, nullptr) || readA != readB ||
            !std::equal(bufferA.begin(), bufferA.begin() + readA, bufferB.begin())) {
            equal = false;
        } else if (readA == 0) {
            break;
        }
    }
    if (fileA != INVALID_HANDLE_VALUE) {
        ::CloseHandle(fileA);
    }
    if (fileB != INVALID_HANDLE_VALUE) {
        ::CloseHandle(fileB);
    }
    return equal;
}

bool CopyFileVerified(const wstring& source, const wstring& target, wstring& error)
{
    if (!CreateDirectories(ParentPath(target))) {
        error = L"Cannot create directory: " + ParentPath(target);
        return false;
    }
    BOOL cancel = FALSE;
    if (!::CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, &cancel, 0)) {
        error = ErrorText(::GetLastError());
        return false;
    }
    if (FilesEqual(source, target)) {
        return true;
    }
    DeleteFileIfPresent(target);
    error = L"Copied file verification failed.";
    return false;
}

bool ReadWholeFile(const wstring& path, Bytes& data)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart <= 67108864;
    data.assign(ok ? static_cast<size_t>(size.QuadPart) : 0, 0);
    for (size_t done = 0; ok && done < data.size();) {
        DWORD read = 0;
        ok = ::ReadFile(file, data.data() + done, static_cast<DWORD>(std::min<size_t>(kPiece, data.size() - done)),
                        &read, nullptr) && read > 0;
        done += read;
    }
    ::CloseHandle(file);
    return ok;
}

bool WriteFileAtomic(const wstring& path, const wstring& text, wstring& error)
{
    const std::string bytes = WideToUtf8(text);
    const wstring side = path + L".new";
    DeleteFileIfPresent(side);
    if (!CreateDirectories(ParentPath(side))) {
        error = L"Cannot create output directory.";
        return false;
    }
    HANDLE file = ::CreateFileW(side.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = ErrorText(::GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    ::FlushFileBuffers(file);
    ::CloseHandle(file);
    if (ok && ::MoveFileExW(side.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    error = ErrorText(::GetLastError());
    DeleteFileIfPresent(side);
    return false;
}

// ---- package documents -------------------------------------------------

struct Package {
    wstring name;
    wstring version;
};

// The entries of the <version> element: name and trimmed text of each child.
bool ReadPackages(const wstring& path, std::vector<Package>& packages)
{
    packages.clear();
    Bytes bytes;
    if (!ReadWholeFile(path, bytes)) {
        return false;
    }
    const wstring text = Utf8ToWide(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const wstring lower = Lower(text);
    const size_t open = lower.find(L"<version");
    const size_t start = open == wstring::npos ? open : lower.find(L'>', open);
    const size_t end = start == wstring::npos ? start : lower.find(L"</version", start);
    if (end == wstring::npos) {
        return false;
    }
    for (size_t at = lower.find(L'<', start); at < end; at = lower.find(L'<', at + 1)) {
        size_t nameEnd = at + 1;
        while (nameEnd < end && (std::iswalnum(text[nameEnd]) || wcschr(L"-.:_", text[nameEnd]))) {
            ++nameEnd;
        }
        if (nameEnd == at + 1) {
            continue;
        }
        const wstring name = text.substr(at + 1, nameEnd - at - 1);
        const size_t valueStart = lower.find(L'>', nameEnd) + 1;
        const size_t close = lower.find(L"</" + Lower(name) + L">", valueStart);
        if (close == wstring::npos || close > end) {
            return false;
        }
        wstring version = text.substr(valueStart, close - valueStart);
        version.erase(0, version.find_first_not_of(L" \t\r\n"));
        version.erase(version.find_last_not_of(L" \t\r\n") + 1);
        if (EndsWithNoCase(name, L".zip")) {
            packages.push_back(Package{name, version});
        }
        at = close;
    }
    return !packages.empty();
}

void SetEntry(std::vector<Package>& list, const Package& entry)
{
    for (Package& existing : list) {
        if (EqualsNoCase(existing.name, entry.name)) {
            existing = entry;
            return;
        }
    }
    list.push_back(entry);
}

bool WriteStateFile(const wstring& path, const std::vector<Package>& list, wstring& error)
{
    wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\r\n<Updater>\r\n  <version>\r\n";
    for (const Package& entry : list) {
        text += L"    <" + entry.name + L">" + entry.version + L"</" + entry.name + L">\r\n";
    }
    return WriteFileAtomic(path, text + L"  </version>\r\n</Updater>\r\n", error);
}

// Dotted decimal versions only; anything else is not a version.
bool ParseVersion(const wstring& text, std::vector<unsigned long>& parts)
{
    parts.clear();
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find(L'.', start);
        const wstring part = text.substr(start, dot == wstring::npos ? wstring::npos : dot - start);
        if (part.empty() || part.size() > 9 || part.find_first_not_of(L"0123456789") != wstring::npos) {
            return false;
        }
        parts.push_back(std::wcstoul(part.c_str(), nullptr, 10));
        if (dot == wstring::npos) {
            return true;
        }
        start = dot + 1;
    }
}

int CompareVersions(const wstring& a, const wstring& b, bool& bothValid)
{
    std::vector<unsigned long> pa;
    std::vector<unsigned long> pb;
    bothValid = ParseVersion(a, pa) && ParseVersion(b, pb);
    if (!bothValid) {
        return 0;
    }
    pa.resize(std::max(pa.size(), pb.size()), 0);
    pb.resize(pa.size(), 0);
    return pa < pb ? -1 : (pa > pb ? 1 : 0);
}

// ---- inventory ---------------------------------------------------------

const wchar_t* const kCandidates[] = {L".exe", L".dll",  L".json", L".accdb", L".mdb",    L".rpt", L".xlsx",
                                      L".xlsm", L".xls", L".pdf",  L".chm",   L".config", L".xml"};

wstring FileVersionText(const wstring& path)
{
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) {
        return wstring();
    }
    std::vector<unsigned char> data(size, 0);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) {
        return wstring();
    }
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

// The first file stem + ".*" that is not a download or an old copy.
wstring FirstOtherFile(const wstring& folder, const wstring& stem)
{
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW(JoinPath(folder, stem + L".*").c_str(), &entry);
    wstring found;
    if (find == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        const wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !EndsWithNoCase(name, L".zip") &&
            !EndsWithNoCase(name, L".old") && !EndsWithNoCase(name, L".bak")) {
            found = JoinPath(folder, name);
        }
    } while (found.empty() && ::FindNextFileW(find, &entry));
    ::FindClose(find);
    return found;
}

bool IsPackageInstalled(const wstring& folder, const wstring& stem)
{
    if (stem.empty()) {
        return false;
    }
    if (DirectoryExists(JoinPath(folder, stem))) {
        return true;
    }
    for (const wchar_t* extension : kCandidates) {
        if (FileExists(JoinPath(folder, stem + extension))) {
            return true;
        }
    }
    return !FirstOtherFile(folder, stem).empty();
}

wstring InstalledVersion(const wstring& folder, const wstring& stem)
{
    wstring file;
    for (const wchar_t* extension : kCandidates) {
        if (FileExists(JoinPath(folder, stem + extension))) {
            file = JoinPath(folder, stem + extension);
            break;
        }
    }
    if (file.empty()) {
        file = FirstOtherFile(folder, stem);
    }
    if (file.empty()) {
        return wstring();
    }
    const wstring version = FileVersionText(file);
    return version.empty() ? L"0.0.0.0" : version;
}

std::vector<Package> SelectPackages(const std::vector<Package>& server, const std::vector<Package>& local,
                                    const wstring& folder, TraceLog& log)
{
    std::vector<Package> selected;
    for (const Package& entry : server) {
        wstring localVersion;
        for (const Package& known : local) {
            if (EqualsNoCase(known.name, entry.name)) {
                localVersion = known.version;
            }
        }
        const wstring stem = FileStem(entry.name);
        const bool installed = IsPackageInstalled(folder, stem);
        const wstring installedVersion = InstalledVersion(folder, stem);
        bool localUsable = false;
        bool installedUsable = false;
        bool valid = false;
        CompareVersions(localVersion, entry.version, localUsable);
        CompareVersions(installedVersion, entry.version, installedUsable);
        wstring effective = localVersion;
        if (installedUsable && !(localUsable && CompareVersions(localVersion, installedVersion, valid) >= 0)) {
            effective = installedVersion;
        }
        if (CompareVersions(effective, entry.version, valid) >= 0 && valid && installed) {
            log.Info(L"Package current | File=" + entry.name + L" | Local=" + effective + L" | Server=" +
                     entry.version);
            continue;
        }
        selected.push_back(entry);
        log.Info(L"Package selected | File=" + entry.name + L" | Local=" +
                 (effective.empty() ? wstring(L"<missing>") : effective) + L" | Server=" + entry.version +
                 L" | Installed=" + (installed ? L"True" : L"False"));
    }
    return selected;
}

// ---- ZIP packages ------------------------------------------------------

struct Zip {
    mz_zip_archive archive{};
    FILE* stream = nullptr;
    bool ready = false;
    ~Zip()
    {
        if (ready) {
            mz_zip_reader_end(&archive);
        }
        if (stream != nullptr) {
            std::fclose(stream);
        }
    }
};

bool OpenZip(const wstring& path, Zip& zip)
{
    if (_wfopen_s(&zip.stream, path.c_str(), L"rb") != 0 || zip.stream == nullptr) {
        return false;
    }
    zip.ready = mz_zip_reader_init_cfile(&zip.archive, zip.stream, FileSize(path), 0) != MZ_FALSE;
    return zip.ready;
}

// One entry's record and its name with backslashes and no trailing
// separator; false for an entry that cannot be read, is encrypted or uses a
// method miniz does not support.
bool ReadEntry(Zip& zip, mz_uint index, mz_zip_archive_file_stat& stat, wstring& name)
{
    if (!mz_zip_reader_file_stat(&zip.archive, index, &stat) || stat.m_is_encrypted || !stat.m_is_supported) {
        return false;
    }
    name = Utf8ToWide(stat.m_filename, std::strlen(stat.m_filename));
    std::replace(name.begin(), name.end(), L'/', L'\\');
    while (!name.empty() && name.back() == L'\\') {
        name.pop_back();
    }
    return true;
}

bool ValidateZip(const wstring& path)
{
    Zip zip;
    if (!OpenZip(path, zip)) {
        return false;
    }
    bool anyFile = false;
    const mz_uint count = mz_zip_reader_get_num_files(&zip.archive);
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat stat{};
        wstring name;
        if (!ReadEntry(zip, i, stat, name)) {
            return false;
        }
        if (!name.empty() && !IsSafeRelativePath(name)) {
            return false;
        }
        anyFile = anyFile || !stat.m_is_directory;
    }
    return anyFile;
}

struct WriteContext {
    HANDLE file = INVALID_HANDLE_VALUE;
    bool failed = false;
};

size_t WriteChunk(void* opaque, mz_uint64 offset, const void* data, size_t length)
{
    auto* context = static_cast<WriteContext*>(opaque);
    if (context->failed) {
        return 0;
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(context->file, position, nullptr, FILE_BEGIN)) {
        context->failed = true;
        return 0;
    }
    size_t done = 0;
    while (done < length) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, length - done));
        DWORD written = 0;
        if (!::WriteFile(context->file, static_cast<const char*>(data) + done, piece, &written, nullptr) ||
            written != piece) {
            context->failed = true;
            return done + written;
        }
        done += written;
    }
    return length;
}

bool ExtractZip(const wstring& zipPath, const wstring& destination, TraceLog& log)
{
    if (DirectoryExists(destination) && !DeleteTree(destination)) {
        return false;
    }
    Zip zip;
    if (!CreateDirectories(destination) || !OpenZip(zipPath, zip)) {
        return false;
    }
    const mz_uint count = mz_zip_reader_get_num_files(&zip.archive);
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat stat{};
        wstring name;
        if (!ReadEntry(zip, i, stat, name)) {
            return false;
        }
        if (name.empty()) {
            continue;
        }
        const wstring target = JoinPath(destination, name);
        if (!IsSafeRelativePath(name) || target.size() >= 260) {
            return false;
        }
        if (stat.m_is_directory) {
            if (!CreateDirectories(target)) {
                return false;
            }
            continue;
        }
        WriteContext context;
        if (!CreateDirectories(ParentPath(target))) {
            return false;
        }
        context.file = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr);
        if (context.file == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool inflated = mz_zip_reader_extract_to_callback(&zip.archive, i, WriteChunk, &context, 0) != MZ_FALSE;
        ::FlushFileBuffers(context.file);
        ::CloseHandle(context.file);
        if (!inflated || context.failed || FileSize(target) != stat.m_uncomp_size) {
            DeleteFileIfPresent(target);
            return false;
        }
        log.Info(L"Extraction PASS | ZIP=" + zipPath + L" | File=" + name);
    }
    return true;
}

// ---- downloads ---------------------------------------------------------

std::atomic<int32_t> bytesReceived{0};
std::atomic<int32_t> bytesTotal{0};

void StoreProgress(uint64_t received, uint64_t total)
{
    bytesReceived.store(static_cast<int32_t>(std::min<uint64_t>(received, 2147483647)));
    bytesTotal.store(static_cast<int32_t>(std::min<uint64_t>(total, 2147483647)));
}

struct Request {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    ~Request()
    {
        for (HINTERNET handle : {request, connection, session}) {
            if (handle != nullptr) {
                ::WinHttpCloseHandle(handle);
            }
        }
    }
};

bool ReadBody(HINTERNET request, HANDLE file, uint64_t total, wstring& error)
{
    std::vector<unsigned char> buffer(kBlock, 0);
    uint64_t done = 0;
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request, buffer.data(), kBlock, &read)) {
            error = ErrorText(::GetLastError());
            return false;
        }
        if (read == 0) {
            if (done == 0) {
                error = L"Server returned an empty response.";
                return false;
            }
            ::FlushFileBuffers(file);
            return true;
        }
        DWORD written = 0;
        if (!::WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) {
            error = ErrorText(::GetLastError());
            return false;
        }
        done += written;
        StoreProgress(done, total);
    }
}

bool DownloadWinHttp(const wstring& url, const wstring& temporary, wstring& error)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    Request r;
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts) ||
        (r.session = ::WinHttpOpen(L"OrvUpdaterW7/27.0 (Windows 7)", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)) == nullptr) {
        error = ErrorText(::GetLastError());
        return false;
    }
    ::WinHttpSetTimeouts(r.session, 10000, 10000, 15000, 60000);
    const wstring host(parts.lpszHostName, parts.dwHostNameLength);
    wstring path = wstring(parts.lpszUrlPath, parts.dwUrlPathLength) + wstring(parts.lpszExtraInfo,
                                                                               parts.dwExtraInfoLength);
    if (path.empty()) {
        path = L"/";
    }
    DWORD decompression = 3;
    DWORD status = 0;
    DWORD length = 0;
    DWORD size = sizeof(status);
    if ((r.connection = ::WinHttpConnect(r.session, host.c_str(), parts.nPort, 0)) == nullptr ||
        (r.request = ::WinHttpOpenRequest(r.connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)) ==
            nullptr) {
        error = ErrorText(::GetLastError());
        return false;
    }
    ::WinHttpSetOption(r.request, WINHTTP_OPTION_DECOMPRESSION, &decompression, sizeof(decompression));
    if (!::WinHttpSendRequest(r.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(r.request, nullptr) ||
        !::WinHttpQueryHeaders(r.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status,
                               &size, nullptr)) {
        error = ErrorText(::GetLastError());
        return false;
    }
    if (status < 200 || status > 299) {
        error = L"HTTP status " + std::to_wstring(status);
        return false;
    }
    size = sizeof(length);
    if (!::WinHttpQueryHeaders(r.request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &length,
                               &size, nullptr)) {
        length = 0;
    }
    StoreProgress(0, length);
    HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = ErrorText(::GetLastError());
        return false;
    }
    const bool ok = ReadBody(r.request, file, length, error);
    ::CloseHandle(file);
    if (!ok) {
        DeleteFileIfPresent(temporary);
    }
    return ok;
}

bool FinishDownload(const wstring& temporary, const wstring& destination, bool validateZip, wstring& error)
{
    if (!FileExists(temporary) || FileSize(temporary) == 0) {
        error = L"Downloaded file is missing or empty.";
        return false;
    }
    if (validateZip && !ValidateZip(temporary)) {
        error = L"ZIP validation failed.";
        return false;
    }
    if (!::MoveFileExW(temporary.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ErrorText(::GetLastError());
        return false;
    }
    return true;
}

struct Try {
    const wstring* url;
    const wstring* temporary;
    const wstring* destination;
    bool validateZip;
    wstring error;
    bool result;
};

DWORD WINAPI RunTry(LPVOID parameter)
{
    auto* job = static_cast<Try*>(parameter);
    job->result = DownloadWinHttp(*job->url, *job->temporary, job->error) &&
                  FinishDownload(*job->temporary, *job->destination, job->validateZip, job->error);
    return 0;
}

// One WinHTTP try on a worker thread; this thread polls it every 50 ms, as it
// would to show its progress.
bool Download(const wstring& url, const wstring& destination, bool validateZip, TraceLog& log)
{
    const wstring temporary = destination + L".part";
    CreateDirectories(ParentPath(destination));
    DeleteFileIfPresent(temporary);
    bytesReceived.store(0);
    bytesTotal.store(0);
    Try job{&url, &temporary, &destination, validateZip, wstring(), false};
    HANDLE worker = ::CreateThread(nullptr, 0, RunTry, &job, 0, nullptr);
    while (::WaitForSingleObject(worker, 50) == WAIT_TIMEOUT) {
        (void)bytesReceived.load();
        (void)bytesTotal.load();
    }
    ::CloseHandle(worker);
    log.Info(job.result ? L"Download PASS | Backend=WinHTTP | URL=" + url
                        : L"Download FAIL | Backend=WinHTTP | URL=" + url + L" | Error=" + job.error);
    if (!job.result) {
        DeleteFileIfPresent(temporary);
    }
    return job.result;
}

// ---- installing --------------------------------------------------------

struct Installer {
    Installer(const wstring& folder, TraceLog& traceLog) : installFolder(folder), log(traceLog) {}

    wstring installFolder;
    TraceLog& log;
    wstring backupFolder;
    bool databaseBackupDone = false;
    std::set<wstring> backedUp;
    bool ok = true;

    void StopApplicationProcesses()
    {
        static const wchar_t* const kApplication[] = {
            L"rjks", L"kds_lum", L"orvw_lum", L"orvstarter", L"orvvalidator", L"orvautoupdater",
            L"orvlocalupdaternet4", L"orvautoupdatevalidator", L"orvlocalupdatevalidator"};
        HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) {
            return;
        }
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
            const wstring stem = Lower(FileStem(entry.szExeFile));
            if (entry.th32ProcessID != ::GetCurrentProcessId() &&
                std::any_of(std::begin(kApplication), std::end(kApplication),
                            [&](const wchar_t* name) { return stem == name; })) {
                ok = false;  // stopping programs is not part of the benchmarks
            }
        }
        ::CloseHandle(snapshot);
    }

    bool EnsureBackupFolder()
    {
        if (!backupFolder.empty()) {
            return true;
        }
        SYSTEMTIME today{};
        ::GetLocalTime(&today);
        wchar_t name[16];
        std::swprintf(name, 16, L"Tarn%04u%02u%02u", today.wYear, today.wMonth, today.wDay);
        for (unsigned n = 0; n < 1000; ++n) {
            const wstring full = JoinPath(installFolder, n == 0 ? wstring(name) : name + std::to_wstring(n));
            if (!DirectoryExists(full) && CreateDirectories(full)) {
                backupFolder = full;
                log.Info(L"Tarn backup folder created | " + full);
                return true;
            }
        }
        return false;
    }

    bool BackupExistingFile(const wstring& path)
    {
        if (!FileExists(path)) {
            return true;
        }
        const wstring key = Lower(path);
        if (backedUp.count(key) != 0) {
            return true;
        }
        const wstring root = installFolder.back() == L'\\' ? installFolder : installFolder + L"\\";
        const wstring relative = StartsWithNoCase(path, root) ? path.substr(root.size()) : wstring();
        if (relative.empty() || !IsSafeRelativePath(relative) || !EnsureBackupFolder()) {
            return false;
        }
        const wstring backup = JoinPath(backupFolder, relative);
        wstring error;
        if (!CopyFileVerified(path, backup, error)) {
            log.Fail(L"Tarn backup failed; original will not be replaced | Source=" + path + L" | Backup=" + backup +
                     L" | " + error);
            return false;
        }
        backedUp.insert(key);
        log.Info(L"Tarn backup PASS | Source=" + path + L" | Backup=" + backup);
        return true;
    }

    bool BackupDatabases()
    {
        bool passed = true;
        for (const wchar_t* pattern : {L"orv*.accdb", L"orv*.mdb"}) {
            WIN32_FIND_DATAW entry{};
            HANDLE find = ::FindFirstFileW(JoinPath(installFolder, pattern).c_str(), &entry);
            if (find == INVALID_HANDLE_VALUE) {
                continue;
            }
            do {
                const wstring name = Lower(entry.cFileName);
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.compare(0, 3, L"orv") == 0 &&
                    (EndsWithNoCase(name, L".accdb") || EndsWithNoCase(name, L".mdb"))) {
                    passed = BackupExistingFile(JoinPath(installFolder, entry.cFileName)) && passed;
                }
            } while (::FindNextFileW(find, &entry));
            ::FindClose(find);
        }
        if (passed) {
            log.Info(L"Tarn database backup PASS");
        }
        return passed;
    }

    // One attempt; a locked or failing file is out of the benchmarks' scope.
    bool CopyWithRecovery(const wstring& source, const wstring& target)
    {
        if (FilesEqual(source, target)) {
            log.Info(L"Install already current | " + target);
            return true;
        }
        if (!BackupExistingFile(target) || !CreateDirectories(ParentPath(target))) {
            return false;
        }
        const wstring side = target + L".orv-new-" + std::to_wstring(::GetCurrentProcessId());
        DeleteFileIfPresent(side);
        wstring error;
        if (!CopyFileVerified(source, side, error)) {
            return false;
        }
        if (FileExists(target)) {
            ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        if (!::MoveFileExW(side.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
            !FilesEqual(source, target)) {
            return false;
        }
        log.Info(L"Install PASS | Attempt=1 | " + target);
        return true;
    }

    void InstallTree(const wstring& root, const wstring& folder)
    {
        WIN32_FIND_DATAW entry{};
        HANDLE find = ::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) {
            ok = false;
            return;
        }
        do {
            if (IsDotEntry(entry.cFileName)) {
                continue;
            }
            const wstring full = JoinPath(folder, entry.cFileName);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                ok = false;
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                InstallTree(root, full);
            } else {
                wstring relative = full.substr(root.size());
                relative.erase(0, relative.find_first_not_of(L"\\/"));
                const wstring target = JoinPath(installFolder, relative);
                const wstring name = Lower(FileNamePart(target));
                const bool updater = name == L"orvupdater.exe" || name == L"orvupdaterw7.exe";
                if (!IsSafeRelativePath(relative) || updater) {
                    ok = false;
                } else if (EndsWithNoCase(relative, L".rpt") && FileExists(target)) {
                    log.Info(L"Protected report preserved; existing .rpt was not replaced | " + target);
                } else if (!CopyWithRecovery(full, target)) {
                    ok = false;
                }
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }

    bool InstallPackage(const wstring& source)
    {
        ok = true;
        StopApplicationProcesses();
        if (!databaseBackupDone && !(databaseBackupDone = BackupDatabases())) {
            return false;
        }
        if (!DirectoryExists(source)) {
            return false;
        }
        InstallTree(source, source);
        return ok;
    }
};

// ---- the run -----------------------------------------------------------

struct Options {
    wstring server;
    wstring installPath;
};

bool ParseOptions(Options& options)
{
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = 1; arguments != nullptr && i < count; ++i) {
        const wstring argument = arguments[i];
        if (StartsWithNoCase(argument, L"/server:")) {
            options.server = argument.substr(8);
        } else if (StartsWithNoCase(argument, L"/installpath:")) {
            wchar_t full[MAX_PATH * 4] = {};
            ::GetFullPathNameW(argument.substr(13).c_str(), MAX_PATH * 4, full, nullptr);
            options.installPath = full;
        }
    }
    ::LocalFree(arguments);
    return !options.server.empty() && !options.installPath.empty();
}

// The run from the writability test to the choice of packages.
bool ManifestPhase(const Options& o, TraceLog& log, std::vector<Package>& local, std::vector<Package>& required,
                   std::vector<Package>& server)
{
    const wstring probe = JoinPath(o.installPath, L".orvupdaterw7-write-test");
    HANDLE test = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (test == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::CloseHandle(test);
    if (!DirectoryExists(probe)) {
        ::SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(probe.c_str());
    }
    const wstring work = JoinPath(o.installPath, L"AUPatch\\W7Standalone");
    for (const wchar_t* leaf : {L"manifest", L"downloads", L"extract"}) {
        CreateDirectories(JoinPath(work, leaf));
    }
    const wstring url = o.server + L"updater.xml";
    const wstring manifestPath = JoinPath(work, L"manifest\\server-1-updater.xml");
    if (!Download(url, manifestPath, false, log) || !ReadPackages(manifestPath, server)) {
        return false;
    }
    log.Info(L"Manifest selected | URL=" + url + L" | Packages=" + std::to_wstring(server.size()));
    if (!ReadPackages(JoinPath(o.installPath, L"updater-w7.xml"), local)) {
        log.Warn(L"Local updater-w7.xml missing/invalid; installed file versions will be used");
    }
    required = SelectPackages(server, local, o.installPath, log);
    for (const Package& entry : server) {
        if (std::none_of(required.begin(), required.end(),
                         [&](const Package& p) { return EqualsNoCase(p.name, entry.name); })) {
            SetEntry(local, entry);
        }
    }
    return true;
}

wstring EscapedName(const wstring& name)
{
    std::vector<wchar_t> buffer(name.size() * 3 + 32, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (FAILED(::UrlEscapeW(name.c_str(), buffer.data(), &length, URL_ESCAPE_SEGMENT_ONLY))) {
        return name;
    }
    return buffer.data();
}

wstring ExtractFolderName(size_t index, const wstring& name)
{
    wstring stem = FileStem(name);
    for (wchar_t& c : stem) {
        if (!std::iswalnum(c) && c != L'-' && c != L'.' && c != L'_') {
            c = L'_';
        }
    }
    return std::to_wstring(index + 1) + L"-" + stem;
}

bool PackagePhase(const Options& o, TraceLog& log, std::vector<Package>& local, const std::vector<Package>& required)
{
    const wstring statePath = JoinPath(o.installPath, L"updater-w7.xml");
    wstring error;
    if (required.empty()) {
        return WriteStateFile(statePath, local, error);
    }
    const wstring work = JoinPath(o.installPath, L"AUPatch\\W7Standalone");
    Installer installer(o.installPath, log);
    bool allPassed = true;
    for (size_t i = 0; i < required.size(); ++i) {
        const Package& package = required[i];
        const wstring zipPath = JoinPath(work, L"downloads\\" + package.name);
        const wstring extractFolder = JoinPath(work, L"extract\\" + ExtractFolderName(i, package.name));
        if (!Download(o.server + EscapedName(package.name), zipPath, true, log) ||
            !ExtractZip(zipPath, extractFolder, log)) {
            return false;
        }
        if (installer.InstallPackage(extractFolder)) {
            SetEntry(local, package);
            log.Info(L"Package install PASS | File=" + package.name);
        } else {
            allPassed = false;
            log.Fail(L"Package install incomplete; updater-w7.xml remains pending | File=" + package.name);
        }
        DeleteTree(extractFolder);
        DeleteFileIfPresent(zipPath);
        if (!WriteStateFile(statePath, local, error)) {
            log.Fail(L"Local updater-w7.xml write failed | " + error);
        }
    }
    return allPassed;
}

// What is left of the reboot path in a run: a pending state document is
// promoted only once the reboot's stage folder is empty.
void PromotePendingState(const wstring& installPath)
{
    if (FileExists(JoinPath(installPath, L"pending-updater-w7.xml"))) {
        std::exit(1);
    }
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(CrashFilter);
    Options options;
    if (!ParseOptions(options)) {
        return 1;
    }
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, L"Local\\Varnel-OrvUpdaterW7-SingleInstance");
    if (mutex != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        return 0;
    }
    TraceLog log;
    log.Open(options.installPath);
    PromotePendingState(options.installPath);
    std::vector<Package> local;
    std::vector<Package> required;
    std::vector<Package> server;
    const bool ok = ManifestPhase(options, log, local, required, server) && PackagePhase(options, log, local, required);
    if (mutex != nullptr) {
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
    }
    return ok ? 0 : 1;
}

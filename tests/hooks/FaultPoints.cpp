// Linked only into the test programs: when the fault sweep asks for it through the environment, every call of this
// program that changes the disk is counted in a journal shared by the whole
// hand-over chain, and the process ends abruptly at the chosen step, as a
// power cut or a killed process would end it. The product code stays as it
// is: the counting wrappers are put into this executable's own import table.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace orv {

void ArmFaultPoints();

namespace {

// The harness recognises a process that was ended here by this code.
constexpr UINT kFaultExitCode = 77;
constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

// The system's functions; the import table's own entries replace these
// defaults when the wrappers go in.
struct Originals {
    decltype(&::CreateFileW) createFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::FlushFileBuffers) flush;
    decltype(&::MoveFileExW) move;
    decltype(&::CopyFileExW) copy;
    decltype(&::DeleteFileW) deleteFile;
    decltype(&::CreateDirectoryW) createFolder;
    decltype(&::RemoveDirectoryW) removeFolder;
    decltype(&::SetFileAttributesW) attributes;
    decltype(&::SetEndOfFile) endOfFile;
};
Originals real{&::CreateFileW, &::WriteFile,        &::FlushFileBuffers, &::MoveFileExW,
               &::CopyFileExW, &::DeleteFileW,      &::CreateDirectoryW, &::RemoveDirectoryW,
               &::SetFileAttributesW, &::SetEndOfFile};

// Journal: a 16-byte decimal step counter, then one line per step:
// step, process id, call, what it touched; a step that ends the process is
// marked. All processes of one run share it under a named mutex.
UniqueFile journal;
UniqueHandle journalLock;
unsigned long long faultAt = 0;

std::wstring PathOfHandle(HANDLE file)
{
    wchar_t buffer[1024] = {};
    const DWORD length = ::GetFinalPathNameByHandleW(file, buffer, 1024, 0);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : L"?";
}

void WriteAt(LONGLONG offset, DWORD method, const std::string& bytes)
{
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    DWORD written = 0;
    ::SetFilePointerEx(journal.Get(), at, nullptr, method);
    real.writeFile(journal.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Counts one step; at the chosen one the process ends before the call runs.
void Step(const wchar_t* call, const std::wstring& what)
{
    ::WaitForSingleObject(journalLock.Get(), INFINITE);
    char header[17] = {};
    DWORD read = 0;
    LARGE_INTEGER start{};
    ::SetFilePointerEx(journal.Get(), start, nullptr, FILE_BEGIN);
    ::ReadFile(journal.Get(), header, 16, &read, nullptr);
    const unsigned long long step = std::strtoull(header, nullptr, 10) + 1;
    const bool fire = step == faultAt;
    char counter[17] = {};
    std::snprintf(counter, sizeof(counter), "%015llu\n", step);
    WriteAt(0, FILE_BEGIN, counter);
    WriteAt(0, FILE_END,
            std::to_string(step) + "\t" + std::to_string(::GetCurrentProcessId()) + "\t" + WideToUtf8(call) +
                "\t" + WideToUtf8(what) + (fire ? "\tKILLED\n" : "\n"));
    ::ReleaseMutex(journalLock.Get());
    if (fire) {
        ::TerminateProcess(::GetCurrentProcess(), kFaultExitCode);
    }
}

HANDLE WINAPI CountedCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model)
{
    // Opening for reading changes nothing; creating, truncating or opening
    // for writing does.
    if ((access & kWriteAccess) != 0 || disposition != OPEN_EXISTING) {
        Step(L"CreateFileW", path);
    }
    return real.createFile(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI CountedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    Step(L"WriteFile", PathOfHandle(file));
    return real.writeFile(file, data, size, written, overlapped);
}

BOOL WINAPI CountedFlush(HANDLE file)
{
    Step(L"FlushFileBuffers", PathOfHandle(file));
    return real.flush(file);
}

BOOL WINAPI CountedMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    Step((flags & MOVEFILE_DELAY_UNTIL_REBOOT) ? L"MoveFileExW(delayed)" : L"MoveFileExW",
         std::wstring(from) + L" -> " + (to ? to : L"(delete)"));
    return real.move(from, to, flags);
}

BOOL WINAPI CountedCopy(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE routine, LPVOID data, LPBOOL cancel,
                        DWORD flags)
{
    Step(L"CopyFileExW", std::wstring(from) + L" -> " + to);
    return real.copy(from, to, routine, data, cancel, flags);
}

BOOL WINAPI CountedDelete(LPCWSTR path)
{
    Step(L"DeleteFileW", path);
    return real.deleteFile(path);
}

BOOL WINAPI CountedCreateFolder(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    Step(L"CreateDirectoryW", path);
    return real.createFolder(path, security);
}

BOOL WINAPI CountedRemoveFolder(LPCWSTR path)
{
    Step(L"RemoveDirectoryW", path);
    return real.removeFolder(path);
}

BOOL WINAPI CountedAttributes(LPCWSTR path, DWORD attributes)
{
    Step(L"SetFileAttributesW", path);
    return real.attributes(path, attributes);
}

BOOL WINAPI CountedEndOfFile(HANDLE file)
{
    Step(L"SetEndOfFile", PathOfHandle(file));
    return real.endOfFile(file);
}

struct Hook {
    const char* name;
    void* wrapper;
    void* original; // where the wrapper finds the system's function
};

const Hook hooks[] = {
    {"CreateFileW", reinterpret_cast<void*>(&CountedCreateFile), &real.createFile},
    {"WriteFile", reinterpret_cast<void*>(&CountedWriteFile), &real.writeFile},
    {"FlushFileBuffers", reinterpret_cast<void*>(&CountedFlush), &real.flush},
    {"MoveFileExW", reinterpret_cast<void*>(&CountedMove), &real.move},
    {"CopyFileExW", reinterpret_cast<void*>(&CountedCopy), &real.copy},
    {"DeleteFileW", reinterpret_cast<void*>(&CountedDelete), &real.deleteFile},
    {"CreateDirectoryW", reinterpret_cast<void*>(&CountedCreateFolder), &real.createFolder},
    {"RemoveDirectoryW", reinterpret_cast<void*>(&CountedRemoveFolder), &real.removeFolder},
    {"SetFileAttributesW", reinterpret_cast<void*>(&CountedAttributes), &real.attributes},
    {"SetEndOfFile", reinterpret_cast<void*>(&CountedEndOfFile), &real.endOfFile},
};

void PatchSlot(ULONG_PTR* slot, const Hook& hook)
{
    std::memcpy(hook.original, slot, sizeof(*slot));
    DWORD previous = 0;
    ::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &previous);
    *slot = reinterpret_cast<ULONG_PTR>(hook.wrapper);
    ::VirtualProtect(slot, sizeof(*slot), previous, &previous);
}

// Points every kernel32 import of this executable that changes the disk at
// its counting wrapper, keeping the address the loader bound there.
void PatchImports()
{
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name; ++dll) {
        if (_stricmp(reinterpret_cast<char*>(base + dll->Name), "kernel32.dll") != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (const Hook& hook : hooks) {
                if (std::strcmp(name, hook.name) == 0) {
                    PatchSlot(reinterpret_cast<ULONG_PTR*>(&slots->u1.Function), hook);
                }
            }
        }
    }
}

} // namespace

void ArmFaultPoints()
{
    const wchar_t* path = _wgetenv(L"ORV_FAULT_JOURNAL");
    if (path == nullptr || *path == 0) {
        return;
    }
    const wchar_t* at = _wgetenv(L"ORV_FAULT_AT");
    faultAt = at != nullptr ? std::wcstoull(at, nullptr, 10) : 0;
    journalLock.Reset(::CreateMutexW(nullptr, FALSE, L"Local\\OrvUpdaterW7-FaultJournal"));
    journal.Reset(real.createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (journal && journalLock) {
        PatchImports();
    }
}

} // namespace orv

// Linked only into the test programs: when the fault sweep asks for it through the environment, every call of this
// program that changes the disk or the registry, or starts a program, is
// counted in a journal shared by the whole hand-over chain, and the process
// ends abruptly at the chosen step, as a power cut or a killed process would
// end it; asked for a torn write, a write ending there puts half its bytes
// down first. The product code stays as it is: the counting wrappers are put
// into this executable's own import table.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
// defaults when the wrappers go in (the other wrappers' below).
auto realCreateFileW = &::CreateFileW;
auto realWriteFile = &::WriteFile;
auto realMoveFileExW = &::MoveFileExW;

// Journal: a 16-byte decimal step counter, then one line per step:
// step, process id, call, what it touched; a step that ends the process is
// marked KILLED (TORN when half a write went down first). All processes of one run share it under a named mutex.
UniqueFile journal;
UniqueHandle journalLock;
unsigned long long faultAt = 0;
bool tornWrites = false;

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
    realWriteFile(journal.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Whether a process of this run has torn a write already; the first to tear
// one leaves a mark beside the journal.
std::wstring tornMark;

bool TornAlready()
{
    const UniqueFile mark(realCreateFileW(tornMark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    return !mark;
}

// Counts one step; at the chosen one the process ends before the call runs,
// or, for a torn write, once `tear` has written part of it.
void Step(const wchar_t* call, const std::wstring& what, const std::function<void()>& tear = nullptr)
{
    ::WaitForSingleObject(journalLock.Get(), INFINITE);
    char header[17] = {};
    DWORD read = 0;
    LARGE_INTEGER start{};
    ::SetFilePointerEx(journal.Get(), start, nullptr, FILE_BEGIN);
    ::ReadFile(journal.Get(), header, 16, &read, nullptr);
    const unsigned long long step = std::strtoull(header, nullptr, 10) + 1;
    // A torn write falls on the first write at or after the chosen step:
    // the steps before it can differ by a log line from run to run, and a
    // fixed number would now and then land on a call that writes nothing.
    // Once one process of the chain has torn its write, no other tears one.
    const bool torn = tornWrites && tear && faultAt != 0 && step >= faultAt && !TornAlready();
    const bool fire = torn || (!tornWrites && step == faultAt);
    char counter[17] = {};
    std::snprintf(counter, sizeof(counter), "%015llu\n", step);
    WriteAt(0, FILE_BEGIN, counter);
    WriteAt(0, FILE_END,
            std::to_string(step) + "\t" + std::to_string(::GetCurrentProcessId()) + "\t" + WideToUtf8(call) +
                "\t" + WideToUtf8(what) + (torn ? "\tTORN\n" : fire ? "\tKILLED\n" : "\n"));
    ::ReleaseMutex(journalLock.Get());
    if (torn) {
        tear();
    }
    if (fire) {
        ::TerminateProcess(::GetCurrentProcess(), kFaultExitCode);
    }
}

HANDLE WINAPI CountedCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model)
{
    // Opening for reading changes nothing; creating, truncating or opening
    // for writing does.
    if ((access & kWriteAccess) != 0 || disposition != OPEN_EXISTING) {
        Step(L"CreateFileW", path);
    }
    return realCreateFileW(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI CountedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    Step(L"WriteFile", PathOfHandle(file), [&] {
        DWORD half = 0;
        realWriteFile(file, data, size / 2, &half, nullptr);
    });
    return realWriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI CountedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    Step((flags & MOVEFILE_DELAY_UNTIL_REBOOT) ? L"MoveFileExW(delayed)" : L"MoveFileExW",
         std::wstring(from) + L" -> " + (to ? to : L"(delete)"));
    return realMoveFileExW(from, to, flags);
}

// The wrappers that count every call: the system's function, the wrapper
// that counts the step (the call and what it touches) and then calls it.
#define ORV_COUNTED(name, result, params, args, what)                                                                  \
    auto real##name = &::name;                                                                                         \
    result WINAPI Counted##name params                                                                                 \
    {                                                                                                                  \
        Step(L## #name, what);                                                                                         \
        return real##name args;                                                                                        \
    }
ORV_COUNTED(FlushFileBuffers, BOOL, (HANDLE file), (file), PathOfHandle(file))
ORV_COUNTED(SetEndOfFile, BOOL, (HANDLE file), (file), PathOfHandle(file))
ORV_COUNTED(DeleteFileW, BOOL, (LPCWSTR path), (path), path)
ORV_COUNTED(RemoveDirectoryW, BOOL, (LPCWSTR path), (path), path)
ORV_COUNTED(CreateDirectoryW, BOOL, (LPCWSTR path, LPSECURITY_ATTRIBUTES security), (path, security), path)
ORV_COUNTED(SetFileAttributesW, BOOL, (LPCWSTR path, DWORD attributes), (path, attributes), path)
ORV_COUNTED(CopyFileExW, BOOL,
            (LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE routine, LPVOID data, LPBOOL cancel, DWORD flags),
            (from, to, routine, data, cancel, flags), std::wstring(from) + L" -> " + to)
ORV_COUNTED(RegSetValueExW, LSTATUS,
            (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size),
            (key, name, reserved, type, data, size), name ? name : L"(default)")
ORV_COUNTED(RegDeleteValueW, LSTATUS, (HKEY key, LPCWSTR name), (key, name), name ? name : L"(default)")
ORV_COUNTED(ShellExecuteExW, BOOL, (SHELLEXECUTEINFOW * info), (info),
            std::wstring(info->lpFile) + L" " + (info->lpParameters ? info->lpParameters : L""))

struct Hook {
    const char* name;
    void* wrapper;
    void* original; // where the wrapper finds the system's function
};

#define ORV_HOOK(name) {#name, reinterpret_cast<void*>(&Counted##name), &real##name}
const Hook hooks[] = {
    ORV_HOOK(CreateFileW),    ORV_HOOK(WriteFile),          ORV_HOOK(FlushFileBuffers), ORV_HOOK(MoveFileExW),
    ORV_HOOK(CopyFileExW),    ORV_HOOK(DeleteFileW),        ORV_HOOK(CreateDirectoryW), ORV_HOOK(RemoveDirectoryW),
    ORV_HOOK(SetEndOfFile),   ORV_HOOK(SetFileAttributesW), ORV_HOOK(RegSetValueExW),   ORV_HOOK(RegDeleteValueW),
    ORV_HOOK(ShellExecuteExW),
};

void PatchSlot(ULONG_PTR* slot, const Hook& hook)
{
    std::memcpy(hook.original, slot, sizeof(*slot));
    DWORD previous = 0;
    ::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &previous);
    *slot = reinterpret_cast<ULONG_PTR>(hook.wrapper);
    ::VirtualProtect(slot, sizeof(*slot), previous, &previous);
}

// Points every import of this executable that is one of the counted calls
// at its counting wrapper, keeping the address the loader bound there.
void PatchImports()
{
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name; ++dll) {
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
    tornWrites = _wgetenv(L"ORV_FAULT_TORN") != nullptr;
    tornMark = std::wstring(path) + L".torn";
    journalLock.Reset(::CreateMutexW(nullptr, FALSE, L"Local\\OrvUpdaterW7-FaultJournal"));
    journal.Reset(realCreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (journal && journalLock) {
        PatchImports();
    }
}

} // namespace orv

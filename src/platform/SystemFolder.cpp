#include "platform/SystemFolder.h"

#include <cstring>

#include "platform/PathText.h"

namespace orv {

namespace {

// Windows 7 has SetDefaultDllDirectories and the search flags only with its
// KB2533623 update, so the function is looked up, never imported.
constexpr DWORD kSearchSystem32 = LOAD_LIBRARY_SEARCH_SYSTEM32;
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Whether the loader takes kSearchSystem32 (set once, before any other thread).
bool searchFlagsTaken = false;

std::wstring SystemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

} // namespace

void RestrictDllSearch()
{
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    SetDefaultDllDirectoriesFunction setDefault = nullptr;
    static_assert(sizeof(setDefault) == sizeof(found), "function pointers of one size");
    std::memcpy(&setDefault, &found, sizeof(found));
    searchFlagsTaken = setDefault != nullptr && setDefault(kSearchSystem32) != FALSE;
    // An empty text removes the current folder from the search (the Windows
    // 7 updates aside, the only restriction the system offers).
    ::SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const char* name)
{
    if (searchFlagsTaken) {
        return ::LoadLibraryExA(name, nullptr, kSearchSystem32);
    }
    // The side-by-side store the manifest names is looked at before any
    // folder, and is where Common Controls 6 lives: a full path would get the
    // system folder's older library instead.
    if (_stricmp(name, "comctl32.dll") == 0) {
        return ::LoadLibraryA(name);
    }
    const std::wstring folder = SystemFolder();
    if (folder.empty()) {
        return nullptr;
    }
    const std::wstring path = JoinPath(folder, std::wstring(name, name + std::strlen(name)));
    // Its own dependencies are looked for in its folder first, too.
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

std::wstring SystemFilePath(const std::wstring& name)
{
    const std::wstring folder = SystemFolder();
    return folder.empty() ? name : JoinPath(folder, name);
}

} // namespace orv

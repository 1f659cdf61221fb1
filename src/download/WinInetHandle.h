#pragma once
// Owner of WinINet session and URL handles. Kept apart from the WinHTTP
// owner: winhttp.h and wininet.h cannot share a translation unit.
#include <windows.h>
#include <wininet.h>

#include "platform/Handles.h"

struct WinInetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueResource<WinInetHandleTraits>;

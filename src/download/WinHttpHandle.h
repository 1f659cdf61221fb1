#pragma once
// Owner of WinHTTP session, connection and request handles. Kept apart from
// the WinINet owner: winhttp.h and wininet.h cannot share a translation unit.
#include <windows.h>
#include <winhttp.h>

#include "platform/Handles.h"

struct WinHttpHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueWinHttpHandle = UniqueResource<WinHttpHandleTraits>;

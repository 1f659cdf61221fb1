#pragma once
// Owner of WinHTTP session, connection and request handles. Kept apart from
// the WinINet owner: winhttp.h and wininet.h cannot share a translation unit.
#include <windows.h>
#include <winhttp.h>

#include "platform/Handles.h"

namespace orv {

using UniqueWinHttpHandle = UniqueResource<HandleTraits<HINTERNET, &::WinHttpCloseHandle>>;

} // namespace orv

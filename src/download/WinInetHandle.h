#pragma once
// Owner of WinINet session and URL handles. Kept apart from the WinHTTP
// owner: winhttp.h and wininet.h cannot share a translation unit.
#include <windows.h>
#include <wininet.h>

#include "platform/Handles.h"

namespace orv {

using UniqueInternetHandle = UniqueResource<HandleTraits<HINTERNET, &::InternetCloseHandle>>;

} // namespace orv

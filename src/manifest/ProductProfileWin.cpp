#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "manifest/ProductProfile.h"
#include "platform/FileSystem.h"

namespace orv {

ProductProfile ResolveProductProfile(const std::wstring& productKey, const std::wstring& installFolder)
{
    int32_t kind = ProfileKindForKey(productKey);
    if (kind == 0) {
        // Without a key, the product whose main program is installed here.
        // Only files count: a folder of that name is not the program.
        if (FileExists(JoinPath(installFolder, L"KDS_Lum.exe"))) {
            kind = 2;
        } else if (FileExists(JoinPath(installFolder, L"RJKS.exe"))) {
            kind = 3;
        } else {
            kind = 1;
        }
    }
    return ProfileForKind(kind);
}

std::wstring PackageUrl(const std::wstring& serverBase, const std::wstring& packageName)
{
    // Three characters per input character is the most escaping can take.
    const size_t capacity = packageName.size() * 3 + 32;
    std::vector<wchar_t> buffer(capacity, L'\0');
    DWORD length = static_cast<DWORD>(capacity);
    const HRESULT result = ::UrlEscapeW(packageName.c_str(), buffer.data(), &length, URL_ESCAPE_SEGMENT_ONLY);
    if (SUCCEEDED(result) && length < capacity) {
        return serverBase + std::wstring(buffer.data(), length);
    }
    return serverBase + EscapeBlanksOnly(packageName);
}

} // namespace orv

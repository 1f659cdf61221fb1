#include <windows.h>

#include <vector>

#include "manifest/Version.h"

namespace orv {

std::wstring GetFileVersionText(const std::wstring& path)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return std::wstring();
    }
    std::vector<unsigned char> block(size, 0);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        return std::wstring();
    }
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return std::wstring();
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    // The file version, not the product version: that is what each file of a
    // package is stamped with by its own build.
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

} // namespace orv

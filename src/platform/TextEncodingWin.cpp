#include "platform/TextEncoding.h"

#include <windows.h>

#include <algorithm>

namespace orv {

std::string WideToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(std::min<size_t>(text.size(), 0x7fffffff));
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], needed, nullptr, nullptr) != needed) {
        return std::string();
    }
    return out;
}

std::wstring Utf8ToWide(const void* data, size_t size)
{
    if (size == 0 || size > 0x7fffffff) {
        return std::wstring();
    }
    const auto* bytes = static_cast<const char*>(data);
    const int length = static_cast<int>(size);
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int needed = ::MultiByteToWideChar(codePage, flags, bytes, length, nullptr, 0);
    if (needed <= 0) {
        // Not UTF-8: older files and tools write the system ANSI code page.
        codePage = CP_ACP;
        flags = 0;
        needed = ::MultiByteToWideChar(codePage, flags, bytes, length, nullptr, 0);
        if (needed <= 0) {
            return std::wstring();
        }
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    if (::MultiByteToWideChar(codePage, flags, bytes, length, &out[0], needed) != needed) {
        return std::wstring();
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& bytes)
{
    return Utf8ToWide(bytes.data(), bytes.size());
}

} // namespace orv

#include "platform/PathText.h"

#include <cwchar>
#include <cwctype>

namespace orv {

std::wstring TrimWhitespace(const std::wstring& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) {
        ++begin;
    }
    while (end > begin && std::iswspace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    return _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix)
{
    if (text.size() < suffix.size()) {
        return false;
    }
    return _wcsicmp(text.c_str() + (text.size() - suffix.size()), suffix.c_str()) == 0;
}

bool IsPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& relative)
{
    if (base.empty()) {
        return relative;
    }
    if (relative.empty()) {
        return base;
    }
    if (relative.size() >= 2 && relative[1] == L':') {
        return relative;
    }
    if (IsPathSeparator(relative.front()) || IsPathSeparator(base.back())) {
        return base + relative;
    }
    return base + L"\\" + relative;
}

std::wstring ParentPath(const std::wstring& path)
{
    const size_t pos = path.find_last_of(L"\\/");
    if (path.empty() || pos == std::wstring::npos) {
        return std::wstring();
    }
    if (pos == 2 && path.size() >= 3 && path[1] == L':') {
        return path.substr(0, 3);
    }
    return path.substr(0, pos);
}

std::wstring FileNamePart(const std::wstring& path)
{
    const size_t pos = path.find_last_of(L"\\/");
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring FileStem(const std::wstring& path)
{
    const std::wstring name = FileNamePart(path);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring StripTrailingSeparators(std::wstring path)
{
    while (path.size() > 3 && IsPathSeparator(path.back())) {
        path.pop_back();
    }
    return path;
}

namespace {

bool IsDriveText(const std::wstring& text)
{
    const wchar_t letter = static_cast<wchar_t>(std::towlower(text[0]));
    return text.size() == 2 && letter >= L'a' && letter <= L'z' && text[1] == L':';
}

// How many non-empty components a text split at separators has.
size_t ComponentCount(const std::wstring& text)
{
    size_t count = 0;
    bool inComponent = false;
    for (const wchar_t c : text) {
        if (IsPathSeparator(c)) {
            inComponent = false;
        } else if (!inComponent) {
            inComponent = true;
            ++count;
        }
    }
    return count;
}

} // namespace

bool IsRootPathText(const std::wstring& fullPath)
{
    std::wstring path = fullPath;
    while (path.size() > 1 && IsPathSeparator(path.back())) {
        path.pop_back();
    }
    if (path.size() == 1) {
        return IsPathSeparator(path[0]);
    }
    if (path.size() < 2) {
        return false;
    }
    if (!IsPathSeparator(path[0]) || !IsPathSeparator(path[1])) {
        return IsDriveText(path);
    }
    // "\\?\" and "\\.\" lead to a device: "\\?\C:", a volume or a share
    // through "UNC\". Whatever follows, one component is the device's root.
    if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && IsPathSeparator(path[3])) {
        const std::wstring device = path.substr(4);
        if (StartsWithNoCase(device, L"unc") && (device.size() == 3 || IsPathSeparator(device[3]))) {
            return ComponentCount(device.substr(3)) <= 2;
        }
        return ComponentCount(device) <= 1;
    }
    // "\\server\share": the share is the root, and the server alone is no folder.
    return ComponentCount(path.substr(2)) <= 2;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(c);
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

} // namespace orv

#include "platform/PathText.h"

#include <cwchar>
#include <cwctype>

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

bool IsRootPathText(const std::wstring& fullPath)
{
    if (fullPath.size() == 1) {
        return IsPathSeparator(fullPath[0]);
    }
    if (fullPath.size() == 3) {
        const wchar_t letter = static_cast<wchar_t>(std::towlower(fullPath[0]));
        return letter >= L'a' && letter <= L'z' && fullPath[1] == L':' && fullPath[2] == L'\\';
    }
    return false;
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

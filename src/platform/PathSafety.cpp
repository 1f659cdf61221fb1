#include "platform/PathSafety.h"

namespace orv {

namespace {

// Longest relative path we accept, in UTF-16 units. It leaves room below the
// classic 260-unit limit for a short base folder and the joining separator.
constexpr size_t kMaxRelativePathUnits = 243;

bool IsForbiddenCharacter(wchar_t c)
{
    if (c < 0x20) {
        return true;
    }
    switch (c) {
    case L'"':
    case L'*':
    case L'<':
    case L'>':
    case L'?':
    case L'|':
        return true;
    default:
        return false;
    }
}

bool IsSafeSegment(const std::wstring& segment)
{
    if (segment.empty() || segment == L"." || segment == L"..") {
        return false;
    }
    if (IsReservedDeviceName(segment)) {
        return false;
    }
    // Win32 silently drops a trailing dot or blank, so the name created would
    // not be the name we checked.
    const wchar_t last = segment.back();
    if (last == L' ' || last == L'.') {
        return false;
    }
    for (wchar_t c : segment) {
        if (IsForbiddenCharacter(c)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsReservedDeviceName(const std::wstring& segment)
{
    std::wstring name = segment;
    // Locale-neutral: only ASCII letters fold, so no code page or user locale
    // can make a foreign letter look like a device name.
    for (wchar_t& c : name) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    // The device is reached whatever extension follows the name, and blanks
    // before the extension are dropped on the way ("nul .txt" opens NUL).
    const size_t dot = name.find(L'.');
    if (dot != std::wstring::npos) {
        name.erase(dot);
    }
    const size_t lastKept = name.find_last_not_of(L' ');
    name.erase(lastKept == std::wstring::npos ? 0 : lastKept + 1);
    if (name.size() == 3) {
        return name == L"aux" || name == L"con" || name == L"nul" || name == L"prn";
    }
    if (name == L"conin$" || name == L"conout$") {
        return true;
    }
    if (name.size() == 4) {
        const std::wstring stem = name.substr(0, 3);
        const wchar_t digit = name[3];
        // Windows also reserves the superscript digits one to three here.
        const bool deviceDigit = (digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
                                 digit == L'\u00b3';
        return (stem == L"com" || stem == L"lpt") && deviceDigit;
    }
    return false;
}

bool IsSafeRelativePath(const std::wstring& relativePath)
{
    if (relativePath.empty() || relativePath.size() > kMaxRelativePathUnits) {
        return false;
    }
    std::wstring path = relativePath;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    // Rooted and UNC paths would escape the base folder when joined.
    if (path.front() == L'\\') {
        return false;
    }
    // Drive letters ("C:x") and alternate data streams ("a.txt:s").
    if (path.find(L':') != std::wstring::npos) {
        return false;
    }
    // One trailing separator marks a folder and is accepted as such.
    if (path.back() == L'\\') {
        path.pop_back();
    }
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(L'\\', start);
        const std::wstring segment = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!IsSafeSegment(segment)) {
            return false;
        }
        if (end == std::wstring::npos) {
            return true;
        }
        start = end + 1;
    }
}

} // namespace orv

// Relative paths from packages: one the rule accepts stays below its base
// once Win32 has normalised it, and holds no ":" or control character.
#include <algorithm>

#include "FuzzSupport.h"
#include "platform/PathSafety.h"

using namespace orv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::wstring path = Utf16Units(data, size);
    std::wstring backslashed = path;
    std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');
    const bool safe = IsSafeRelativePath(path);
    FUZZ_CHECK(safe == IsSafeRelativePath(backslashed));
    if (!safe) {
        return 0;
    }
    FUZZ_CHECK(!path.empty() && path.size() <= 243 && path[0] != L'\\');
    for (const wchar_t c : path) {
        FUZZ_CHECK(c >= 0x20 && c != L':');
    }
    // Win32 drops trailing dots and blanks of every segment; what is left
    // must still be a real name, or the path would point elsewhere.
    std::vector<std::wstring> segments = SplitUnits(backslashed, L'\\');
    if (segments.size() > 1 && segments.back().empty()) {
        segments.pop_back();
    }
    for (std::wstring segment : segments) {
        segment.erase(segment.find_last_not_of(L". ") + 1);
        FUZZ_CHECK(!segment.empty() && segment != L"." && segment != L"..");
    }
    return 0;
}

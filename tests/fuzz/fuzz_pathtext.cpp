// Path text helpers: each result is the part of its input it claims to be,
// and climbing from a path to its parents always ends.
#include "FuzzSupport.h"
#include "platform/PathText.h"

using namespace orv;

namespace {

bool EndsWith(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::wstring> parts = SplitUnits(Utf16Units(data, size), L'\0');
    parts.resize(2);
    const std::wstring& path = parts[0];
    const std::wstring& relative = parts[1];

    // A parent is shorter than its path, except a drive root "X:\" that is its own.
    const std::wstring parent = ParentPath(path);
    FUZZ_CHECK(path.rfind(parent, 0) == 0);
    FUZZ_CHECK(parent.size() < path.size() || path.empty() || (path.size() == 3 && path[1] == L':'));
    const std::wstring name = FileNamePart(path);
    FUZZ_CHECK(EndsWith(path, name) && name.find_first_of(L"\\/") == std::wstring::npos);
    FUZZ_CHECK(name.rfind(FileStem(path), 0) == 0);
    const std::wstring stripped = StripTrailingSeparators(path);
    FUZZ_CHECK(path.rfind(stripped, 0) == 0 && (stripped.size() <= 3 || !IsPathSeparator(stripped.back())));
    if (!path.empty()) {
        FUZZ_CHECK(IsRootPathText(path) == IsRootPathText(path + L"\\"));
        FUZZ_CHECK(IsRootPathText(path) == IsRootPathText(path + L"/"));
    }
    const std::wstring joined = JoinPath(path, relative);
    FUZZ_CHECK(EndsWith(joined, relative));
    FUZZ_CHECK(joined.rfind(path, 0) == 0 || (relative.size() >= 2 && relative[1] == L':'));

    FUZZ_CHECK(EqualsNoCase(path, relative) == EqualsNoCase(relative, path));
    FUZZ_CHECK(StartsWithNoCase(path + relative, path) && EndsWithNoCase(path + relative, relative));
    const std::wstring trimmed = TrimWhitespace(path);
    FUZZ_CHECK(TrimWhitespace(trimmed) == trimmed && path.find(trimmed) != std::wstring::npos);
    return 0;
}

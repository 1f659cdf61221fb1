#include "publish/Layout.h"

#include "manifest/Manifest.h"
#include "platform/PathText.h"

namespace orv {

namespace {

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

// One folder or file name against one pattern segment ("*" any run, "?" one
// character), backtracking to the last "*" on a mismatch.
bool MatchesSegment(const std::wstring& pattern, const std::wstring& name)
{
    size_t p = 0, n = 0, star = std::wstring::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++, resume = n;
        } else if (star != std::wstring::npos) {
            p = star + 1, n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

bool MatchesFrom(const std::vector<std::wstring>& pattern, size_t p, const std::vector<std::wstring>& path, size_t n)
{
    if (p == pattern.size()) {
        return n == path.size();
    }
    if (pattern[p] == L"**") {
        for (size_t skip = n; skip <= path.size(); ++skip) {
            if (MatchesFrom(pattern, p + 1, path, skip)) {
                return true;
            }
        }
        return false;
    }
    return n < path.size() && MatchesSegment(pattern[p], path[n]) && MatchesFrom(pattern, p + 1, path, n + 1);
}

// One "word value" line of the current package.
bool TakeLine(const std::wstring& word, const LayoutLine& value, std::vector<LayoutPackage>& packages,
              std::wstring& error)
{
    if (word == L"package") {
        for (const LayoutPackage& earlier : packages) {
            if (FoldAsciiCase(earlier.name.value) == FoldAsciiCase(value.value)) {
                error = L"package " + value.value + L" is named twice";
                return false;
            }
        }
        packages.emplace_back();
        packages.back().name = value;
        return true;
    }
    if (word != L"version" && word != L"version-from" && word != L"files") {
        error = L"unknown word \"" + word + L"\"; a line is package, version, version-from or files";
        return false;
    }
    if (packages.empty()) {
        error = word + L" before the first package";
        return false;
    }
    LayoutPackage& package = packages.back();
    if (word == L"files") {
        package.files.push_back(value);
        return true;
    }
    if (package.version.line != 0 || package.versionFrom.line != 0) {
        error = package.name.value + L" has its version given twice";
        return false;
    }
    (word == L"version" ? package.version : package.versionFrom) = value;
    return true;
}

} // namespace

bool ParseLayout(const std::wstring& text, std::vector<LayoutPackage>& packages, size_t& errorLine,
                 std::wstring& error)
{
    packages.clear();
    const std::vector<std::wstring> lines = Split(text, L'\n');
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring line = TrimWhitespace(lines[i]);
        errorLine = i + 1;
        if (line.empty() || line[0] == L'#') {
            continue;
        }
        const size_t gap = line.find_first_of(L" \t");
        const std::wstring word = line.substr(0, gap);
        const LayoutLine value{gap == std::wstring::npos ? std::wstring() : TrimWhitespace(line.substr(gap)), i + 1};
        if (value.value.empty()) {
            error = word + L" needs a value";
            return false;
        }
        if (!TakeLine(word, value, packages, error)) {
            return false;
        }
    }
    for (const LayoutPackage& package : packages) {
        if (package.version.line == 0 && package.versionFrom.line == 0) {
            errorLine = package.name.line;
            error = package.name.value + L" gives neither version nor version-from";
            return false;
        }
    }
    errorLine = 0;
    error = L"the layout names no package";
    return !packages.empty();
}

bool MatchesPattern(const std::wstring& pattern, const std::wstring& path)
{
    return MatchesFrom(Split(pattern, L'/'), 0, Split(path, L'/'), 0);
}

} // namespace orv

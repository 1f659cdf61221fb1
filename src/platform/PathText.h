#pragma once
// Path arithmetic and text rules over wide strings. Pure: no Windows headers,
// so these can also be compiled natively (for fuzzing).
#include <string>

namespace orv {

// Removes leading and trailing characters of the standard wide white-space class.
std::wstring TrimWhitespace(const std::wstring& text);

// Case-insensitive comparisons (the run-time library's wide case folding).
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix);
bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix);

// Both "\" and "/" are separators; results are built with "\".
bool IsPathSeparator(wchar_t c);
std::wstring JoinPath(const std::wstring& base, const std::wstring& relative);
std::wstring ParentPath(const std::wstring& path);
std::wstring FileNamePart(const std::wstring& path);
std::wstring FileStem(const std::wstring& path);

// Strips trailing separators while the text is longer than three characters,
// so a drive root such as C:\ keeps its backslash.
std::wstring StripTrailingSeparators(std::wstring path);

// True for texts that name a file-system root, trailing separators aside: a
// lone separator, "X:" (any letter case), a share "\\server\share", and the
// same behind "\\?\" or "\\.\" ("\\?\C:", "\\?\UNC\server\share", a
// volume). Used to refuse deleting whole drives.
bool IsRootPathText(const std::wstring& fullPath);

// Quotes one argument so that the standard Windows command-line splitter
// gives back exactly that argument. Always quoted, even when empty.
std::wstring QuoteArgument(const std::wstring& argument);

} // namespace orv

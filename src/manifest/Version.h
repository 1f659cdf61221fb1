#pragma once
// Version texts: dot-separated unsigned decimal components of any count.
// CompareVersions is the only ordering the program uses. The parsing and
// ordering rules are pure (no Windows headers); GetFileVersionText reads a
// file's version resource and lives in its own platform file.
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// Parses one version text. On success fills components (most significant
// first) and returns true; on any fault empties components and returns false.
bool ParseVersion(const std::wstring& text, std::vector<uint64_t>& components);

// -1, 0 or +1 for a older than, equal to or newer than b. When either text is
// invalid the result is -1 (the left side counts as older) and *bothValid is
// false, so callers that must tell "older" from "unparsable" can.
int CompareVersions(const std::wstring& a, const std::wstring& b, bool* bothValid = nullptr);

// The file version of an executable or library as "a.b.c.d", or an empty text
// when the file is missing, unreadable or carries no version resource.
std::wstring GetFileVersionText(const std::wstring& path);

} // namespace orv

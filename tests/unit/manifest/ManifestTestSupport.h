#pragma once
// Helpers shared by the manifest area's tests.
#include <string>
#include <vector>

#include "manifest/Manifest.h"

inline PackageEntry Entry(const std::wstring& name, const std::wstring& version, bool serverMissing = false)
{
    PackageEntry entry;
    entry.name = name;
    entry.version = version;
    entry.serverMissing = serverMissing;
    return entry;
}

// One line per entry: name "=" version, and " !" when serverMissing is set.
inline std::vector<std::wstring> Describe(const PackageList& list)
{
    std::vector<std::wstring> lines;
    for (const PackageEntry& entry : list) {
        lines.push_back(entry.name + L"=" + entry.version + (entry.serverMissing ? L" !" : L""));
    }
    return lines;
}

const std::wstring kNoVersionNode = L"The XML does not contain a <version> node.";
const std::wstring kVersionNodeIncomplete = L"The <version> node is incomplete.";
const std::wstring kIncompleteOpeningTag = L"Manifest entry has an incomplete opening tag: ";
const std::wstring kNoClosingTag = L"Manifest entry has no closing tag: ";
const std::wstring kNoSafeEntries = L"The <version> node contains no safe .zip package entries.";

// Whether error is one of the reader's own texts (the last two carry a name).
inline bool IsReaderErrorText(const std::wstring& error)
{
    return error == kNoVersionNode || error == kVersionNodeIncomplete || error == kNoSafeEntries ||
           error.rfind(kIncompleteOpeningTag, 0) == 0 || error.rfind(kNoClosingTag, 0) == 0;
}

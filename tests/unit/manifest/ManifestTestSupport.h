#pragma once
// Helpers shared by the manifest area's tests.
#include <string>
#include <vector>

#include "manifest/Manifest.h"

using namespace orv;

// The list as one text: "name=version" per entry, " !" marking serverMissing, "; " between.
inline std::wstring Describe(const PackageList& list)
{
    std::wstring text;
    for (const PackageEntry& entry : list) {
        text += (text.empty() ? L"" : L"; ") + entry.name + L"=" + entry.version + (entry.serverMissing ? L" !" : L"");
    }
    return text;
}

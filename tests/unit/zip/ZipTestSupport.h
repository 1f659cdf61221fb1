#pragma once
// Helpers shared by the zip tests: where the archives made by
// make_fixtures.py are, and a listing of what a folder holds.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "support/TestSupport.h"

inline std::wstring ZipFixture(const std::wstring& name)
{
    return JoinPath(TestEnvPath("ORV_TEST_DATA_DIR"), name);
}

// Every file and folder below root, relative and sorted; folders end in "\",
// entries are separated by "; ".
inline std::wstring ListTree(const std::wstring& root, const std::wstring& prefix = L"")
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(JoinPath(root, prefix), L"*").c_str(), &entry));
    while (find) {
        const std::wstring name = entry.cFileName;
        const std::wstring relative = prefix.empty() ? name : prefix + L"\\" + name;
        if (name != L"." && name != L"..") {
            const bool folder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            const std::wstring below = folder ? ListTree(root, relative) : L"";
            names.push_back(relative + (folder ? L"\\" : L"") + (below.empty() ? L"" : L"; " + below));
        }
        if (!::FindNextFileW(find.Get(), &entry)) {
            break;
        }
    }
    std::sort(names.begin(), names.end());
    std::wstring text;
    for (const std::wstring& name : names) {
        text += (text.empty() ? L"" : L"; ") + name;
    }
    return text;
}

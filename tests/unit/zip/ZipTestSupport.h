#pragma once
// Helpers shared by the zip tests: where the archives made by
// make_fixtures.py are, and a listing of what a folder holds.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"

inline std::wstring ZipFixture(const std::wstring& name)
{
    const std::wstring folder = TestEnvPath("ORV_TEST_DATA_DIR");
    if (folder.empty()) {
        ADD_FAILURE() << "ORV_TEST_DATA_DIR is not set (ctest runs setup.sh first)";
    }
    return JoinPath(folder, name);
}

// The source files the real archives were made from.
inline std::wstring ZipFixtureTree(const std::wstring& relative)
{
    return JoinPath(ZipFixture(L"tree"), relative);
}

// Every file and folder below root, relative and sorted; folders end in "\".
inline void ListTreeInto(const std::wstring& root, const std::wstring& prefix, std::vector<std::wstring>& out)
{
    WIN32_FIND_DATAW entry{};
    UniqueFind find(::FindFirstFileW(JoinPath(JoinPath(root, prefix), L"*").c_str(), &entry));
    if (!find) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring relative = prefix.empty() ? name : prefix + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(relative + L"\\");
            ListTreeInto(root, relative, out);
        } else {
            out.push_back(relative);
        }
    } while (::FindNextFileW(find.Get(), &entry));
}

inline std::vector<std::wstring> ListTree(const std::wstring& root)
{
    std::vector<std::wstring> out;
    ListTreeInto(root, L"", out);
    std::sort(out.begin(), out.end());
    return out;
}

// Holds a file open with no sharing, as another program locking it would.
inline UniqueFile LockFile(const std::wstring& path)
{
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
}

#include "support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/FileSystem.h"

using namespace orv;

TempDir::TempDir()
{
    static std::atomic<unsigned> counter{0};
    const std::wstring base = JoinPath(GetTempFolder(), L"orv-tests");
    CreateDirectories(base);
    do {
        path_ = JoinPath(base, L"t" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(counter++));
    } while (!::CreateDirectoryW(path_.c_str(), nullptr) && ::GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(DirectoryExists(path_)) << "cannot create a temporary folder";
}

TempDir::~TempDir()
{
    DeleteTree(path_);
}

std::wstring TempDir::operator/(const std::wstring& relative) const
{
    return JoinPath(path_, relative);
}

std::wstring TestEnvPath(const char* name)
{
    const char* value = std::getenv(name);
    std::wstring path = Utf8ToWide(std::string(value != nullptr ? value : ""));
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return !path.empty() && path[0] == L'\\' ? L"Z:" + path : path;
}

std::wstring TestProgramPath()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

void WriteTestFile(const std::wstring& path, const std::string& bytes)
{
    CreateDirectories(ParentPath(path));
    std::ofstream file(path.c_str(), std::ios::binary);
    EXPECT_TRUE(file.write(bytes.data(), bytes.size()).flush()) << "cannot write a test file";
}

std::string ReadTestFile(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

UniqueFile LockFile(const std::wstring& path)
{
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

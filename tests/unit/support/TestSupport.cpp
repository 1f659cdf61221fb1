#include "support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace {
std::atomic<unsigned> g_counter{0};
}

TempDir::TempDir()
{
    const std::wstring base = JoinPath(GetTempFolder(), L"orv-tests");
    CreateDirectories(base);
    for (;;) {
        path_ = JoinPath(base, L"t" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(g_counter++));
        if (::CreateDirectoryW(path_.c_str(), nullptr)) {
            break;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create a temporary folder";
            break;
        }
    }
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
    if (value == nullptr || *value == 0) {
        return std::wstring();
    }
    std::wstring path = Utf8ToWide(std::string(value));
    if (!path.empty() && path[0] == L'/') {
        path = L"Z:" + path;
    }
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::wstring TestToolPath(const std::wstring& exeName)
{
    return JoinPath(TestEnvPath("ORV_TEST_TOOLS_DIR"), exeName);
}

std::wstring TestFixturePath(const std::wstring& fileName)
{
    return JoinPath(TestEnvPath("ORV_TEST_FIXTURES_DIR"), fileName);
}

void WriteTestFile(const std::wstring& path, const std::string& bytes)
{
    CreateDirectories(ParentPath(path));
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    ASSERT_TRUE(file.Valid()) << "cannot create test file";
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        ASSERT_TRUE(::WriteFile(file.Get(), bytes.data() + done, piece, &written, nullptr));
        done += written;
    }
}

std::string ReadTestFile(const std::wstring& path)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::string();
    }
    std::string out;
    std::vector<char> buffer(1 << 16);
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
        out.append(buffer.data(), read);
    }
    return out;
}

bool SetReadOnly(const std::wstring& path, bool readOnly)
{
    return ::SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

long RunAndWait(const std::wstring& commandLine, unsigned long timeoutMs)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return -1;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    if (::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.Get(), 1);
        ::WaitForSingleObject(process.Get(), 5000);
        return -2;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.Get(), &code);
    return static_cast<long>(code);
}

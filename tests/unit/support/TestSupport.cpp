#include "support/TestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/FileSystem.h"

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

std::wstring TestToolPath(const std::wstring& exeName)
{
    return JoinPath(TestEnvPath("ORV_TEST_TOOLS_DIR"), exeName);
}

std::wstring TestProgramPath()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring TestCurrentFolder()
{
    wchar_t path[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, path);
    return path;
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
    DWORD written = 0;
    ASSERT_TRUE(file.Valid() && ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                            nullptr) && written == bytes.size())
        << "cannot write a test file";
}

std::string ReadTestFile(const std::wstring& path)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string out;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        out.append(buffer, read);
    }
    return out;
}

bool SetReadOnly(const std::wstring& path, bool readOnly)
{
    return ::SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

UniqueFile LockFile(const std::wstring& path)
{
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

std::vector<std::wstring> TraceMessages(const std::wstring& logPath, const std::wstring& prefix)
{
    std::vector<std::wstring> messages;
    const std::wstring text = Utf8ToWide(ReadTestFile(logPath));
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(L"\r\n", start), text.size());
        // level | Seq=n | time | message
        size_t at = start;
        for (int separator = 0; separator < 3 && at < end; ++separator) {
            at = text.find(L" | ", at);
            at = at < end ? at + 3 : end;
        }
        const std::wstring message = text.substr(at, end - at);
        if (message.compare(0, prefix.size(), prefix) == 0) {
            messages.push_back(message);
        }
        start = end + 2;
    }
    return messages;
}

Watchdog::Watchdog(unsigned long milliseconds) : limit_(milliseconds)
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = info ? std::string(info->test_suite_name()) + "." + info->name() : "?";
    done_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.Reset(::CreateThread(nullptr, 0, &Watchdog::Watch, this, 0, nullptr));
}

Watchdog::~Watchdog()
{
    ::SetEvent(done_.Get());
    ::WaitForSingleObject(thread_.Get(), INFINITE);
}

unsigned long __stdcall Watchdog::Watch(void* self)
{
    const Watchdog* dog = static_cast<const Watchdog*>(self);
    if (::WaitForSingleObject(dog->done_.Get(), dog->limit_) == WAIT_TIMEOUT) {
        std::fprintf(stderr, "watchdog: %s still running after %lu ms; giving up\n", dog->name_.c_str(), dog->limit_);
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    return 0;
}

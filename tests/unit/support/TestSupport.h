#pragma once
// Shared helpers of the unit tests: throw-away folders on the real (Wine)
// file system, the programs the build made, whole-file access that does not
// go through the code under test, the trace log's messages and a watchdog.
#include <string>
#include <vector>

#include "platform/Handles.h"

// A fresh, empty folder below the temporary folder, removed with everything
// in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

// A Windows path from an environment variable set by the test runner (Unix
// paths are mapped to Wine's Z: drive). Empty when the variable is unset.
std::wstring TestEnvPath(const char* name);
std::wstring TestToolPath(const std::wstring& exeName);
// This test program and the current folder, as the system reports them.
std::wstring TestProgramPath();
std::wstring TestCurrentFolder();
std::wstring TestFixturePath(const std::wstring& fileName);

void WriteTestFile(const std::wstring& path, const std::string& bytes);
std::string ReadTestFile(const std::wstring& path);
bool SetReadOnly(const std::wstring& path, bool readOnly);
// Holds a file open with no sharing, as another program locking it would.
UniqueFile LockFile(const std::wstring& path);

// The messages of a trace log's lines (level, number and time cut off) that
// start with prefix.
std::vector<std::wstring> TraceMessages(const std::wstring& logPath, const std::wstring& prefix = L"");

// Ends the whole test program when the test that made it is still running
// after the limit: Wine does not apply every time limit the network
// backends set, and a stuck test must not hold the suite until ctest gives up.
class Watchdog {
public:
    explicit Watchdog(unsigned long milliseconds = 90000);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static unsigned long __stdcall Watch(void* self);

    unsigned long limit_;
    std::string name_;
    UniqueHandle done_;
    UniqueHandle thread_;
};

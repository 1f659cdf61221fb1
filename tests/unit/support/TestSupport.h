#pragma once
// Shared helpers of the unit tests: throw-away folders on the real (Wine)
// file system, access to the programs the build made, and small file tools.
#include <cstdint>
#include <string>

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
std::wstring TestFixturePath(const std::wstring& fileName);

// Whole-file helpers that do not go through the code under test.
void WriteTestFile(const std::wstring& path, const std::string& bytes);
std::string ReadTestFile(const std::wstring& path);
bool SetReadOnly(const std::wstring& path, bool readOnly);

// Starts a command line, waits up to timeoutMs and returns its exit code;
// -1 when it could not start, -2 on time-out (the process is then killed).
long RunAndWait(const std::wstring& commandLine, unsigned long timeoutMs = 60000);

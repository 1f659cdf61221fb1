#pragma once
// Shared helpers of the unit tests: throw-away folders on the real (Wine)
// file system, the programs and fixtures the build made, and whole-file
// access that does not go through the code under test.
#include <string>

#include "platform/Handles.h"

using namespace orv;

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
// This test program, as the system reports it.
std::wstring TestProgramPath();

void WriteTestFile(const std::wstring& path, const std::string& bytes);
std::string ReadTestFile(const std::wstring& path);
// Holds a file open with no sharing, as another program locking it would.
UniqueFile LockFile(const std::wstring& path);

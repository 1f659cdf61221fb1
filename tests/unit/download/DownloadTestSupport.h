#pragma once
// Shared pieces of the download tests: the loopback servers started by the
// ctest fixture, a look inside the downloader, and a downloader with its own
// trace log.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "download/Downloader.h"
#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"

namespace orv {

// The backends and counters are private; the tests drive them through this door.
struct DownloaderTestAccess {
    static bool WinHttp(Downloader& d, const std::wstring& url, const std::wstring& path, std::wstring& error)
    {
        return d.DownloadWinHttp(url, path, error);
    }
    static bool WinInet(Downloader& d, const std::wstring& url, const std::wstring& path, std::wstring& error)
    {
        return d.DownloadWinInet(url, path, error);
    }
    static bool RunAttempt(Downloader& d, const std::function<bool()>& attempt) { return d.RunAttempt(attempt); }
    static void StoreProgress(Downloader& d, uint64_t received, uint64_t total) { d.StoreProgress(received, total); }
    static int32_t Received(const Downloader& d) { return d.bytesReceived.load(); }
    static int32_t Total(const Downloader& d) { return d.bytesTotal.load(); }
};

} // namespace orv

namespace downloadtest {

// An address of the servers ("http", "https", "fault", "refused", "docroot"),
// from the file the ctest fixture writes.
inline std::wstring Server(const std::string& key)
{
    static const std::map<std::string, std::wstring> values = [] {
        std::map<std::string, std::wstring> read;
        std::istringstream lines(ReadTestFile(TestEnvPath("ORV_TEST_SERVERS_FILE")));
        for (std::string line; std::getline(lines, line);) {
            read[line.substr(0, line.find('='))] = Utf8ToWide(line.substr(line.find('=') + 1));
        }
        return read;
    }();
    const auto found = values.find(key);
    EXPECT_TRUE(found != values.end()) << "no " << key << " server: run through ctest (the servers.start fixture)";
    return found != values.end() ? found->second : L"http://127.0.0.1:1/no-server/";
}

// The body bytes the fault server sends: byte i is (7 i + 3) mod 251.
inline std::string PatternBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return bytes;
}

// A name for a gate of the fault server that no earlier run of the suite used.
inline std::wstring UniqueGate(const std::wstring& purpose)
{
    return purpose + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
}

// Asks the fault server something from the test's side (a gate's state):
// true on a 2xx answer.
inline bool AskFaultServer(const std::wstring& route)
{
    TempDir dir;
    std::wstring error;
    return orv::DownloadUrlMon(Server("fault") + route, dir / L"answer", error);
}

// A downloader with a silent window and its own trace log in a fresh folder.
class DownloaderFixture : public ::testing::Test {
protected:
    DownloaderFixture() : window(true), downloader(log, window) { log.Open(temp.Path()); }

    TempDir temp;
    TraceLog log;
    ProgressWindow window;
    orv::Downloader downloader;
    Watchdog dog;
};

} // namespace downloadtest

#pragma once
// Shared pieces of the download tests: the loopback servers started by the
// test fixture, a watchdog for every network test, a look inside the
// downloader, and the trace-log lines it wrote.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "download/Downloader.h"
#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"

namespace orv {

// The downloader's backends and counters are private; the tests drive them
// one at a time through this door.
struct DownloaderTestAccess {
    static bool WinHttp(Downloader& d, const std::wstring& url, const std::wstring& path, std::wstring& error)
    {
        return d.DownloadWinHttp(url, path, error);
    }
    static bool WinInet(Downloader& d, const std::wstring& url, const std::wstring& path, std::wstring& error)
    {
        return d.DownloadWinInet(url, path, error);
    }
    static bool LocalFile(Downloader& d, const std::wstring& url, const std::wstring& path, std::wstring& error)
    {
        return d.DownloadLocalFile(url, path, error);
    }
    static bool RunAttempt(Downloader& d, const std::function<bool()>& attempt) { return d.RunAttempt(attempt); }
    static void StoreProgress(Downloader& d, uint64_t received, uint64_t total) { d.StoreProgress(received, total); }
    static int32_t Received(const Downloader& d) { return d.bytesReceived.load(); }
    static int32_t Total(const Downloader& d) { return d.bytesTotal.load(); }
};

} // namespace orv

namespace downloadtest {

// Addresses of the servers, read from the file the ctest fixture writes.
struct Endpoints {
    bool loaded = false;
    std::wstring http;     // nginx, "http://127.0.0.1:PORT/"
    std::wstring https;    // nginx over TLS, "https://localhost:PORT/"
    std::wstring fault;    // the fault server
    std::wstring refused;  // a port that refuses every connection
    std::wstring docroot;  // nginx's files, as a Windows path
};

inline const Endpoints& Servers()
{
    static const Endpoints endpoints = [] {
        Endpoints result;
        const std::wstring file = TestEnvPath("ORV_TEST_SERVERS_FILE");
        if (file.empty()) {
            return result;
        }
        std::map<std::string, std::string> values;
        std::istringstream lines(ReadTestFile(file));
        std::string line;
        while (std::getline(lines, line)) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos) {
                values[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        result.http = Utf8ToWide(values["http"]);
        result.https = Utf8ToWide(values["https"]);
        result.fault = Utf8ToWide(values["fault"]);
        result.refused = Utf8ToWide(values["refused"]);
        result.docroot = Utf8ToWide(values["docroot"]);
        result.loaded = !result.http.empty() && !result.https.empty() && !result.fault.empty() &&
                        !result.refused.empty() && !result.docroot.empty();
        return result;
    }();
    return endpoints;
}

#define REQUIRE_SERVERS()                                                                                   \
    ASSERT_TRUE(::downloadtest::Servers().loaded)                                                           \
        << "the loopback test servers are not running (run through ctest: the servers.start fixture)"

// The body bytes the fault server sends: byte i is (7 i + 3) mod 251.
inline std::string PatternBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return bytes;
}

// Ends the whole test program when a network test hangs. Wine does not
// apply every time limit the backends set, so a stuck transfer must not
// hold the suite until ctest gives up.
class Watchdog {
public:
    explicit Watchdog(DWORD milliseconds = 90000) : limit_(milliseconds)
    {
        done_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        name_ = info ? std::string(info->test_suite_name()) + "." + info->name() : "?";
        thread_.Reset(::CreateThread(nullptr, 0, &Watchdog::Watch, this, 0, nullptr));
    }
    ~Watchdog()
    {
        ::SetEvent(done_.Get());
        ::WaitForSingleObject(thread_.Get(), INFINITE);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(LPVOID self)
    {
        auto* dog = static_cast<Watchdog*>(self);
        if (::WaitForSingleObject(dog->done_.Get(), dog->limit_) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "watchdog: %s still running after %lu ms; giving up\n", dog->name_.c_str(),
                         static_cast<unsigned long>(dog->limit_));
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        return 0;
    }

    DWORD limit_;
    std::string name_;
    UniqueHandle done_;
    UniqueHandle thread_;
};

// The messages of the trace log's lines, without level, number and time.
inline std::vector<std::wstring> TraceMessages(const std::wstring& logPath)
{
    std::vector<std::wstring> messages;
    const std::wstring text = Utf8ToWide(ReadTestFile(logPath));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const std::wstring line = text.substr(start, end - start);
        // level | Seq=n | time | message
        size_t from = 0;
        bool complete = true;
        for (int separator = 0; separator < 3 && complete; ++separator) {
            const size_t found = line.find(L" | ", from);
            complete = found != std::wstring::npos;
            from = found + 3;
        }
        if (complete) {
            messages.push_back(line.substr(from));
        }
        start = end + 2;
    }
    return messages;
}

// Messages that start with "Download " (the downloader's own lines).
inline std::vector<std::wstring> DownloadMessages(const std::wstring& logPath)
{
    std::vector<std::wstring> result;
    for (const std::wstring& message : TraceMessages(logPath)) {
        if (message.rfind(L"Download ", 0) == 0) {
            result.push_back(message);
        }
    }
    return result;
}

// A downloader with a silent window and its own trace log in a fresh folder.
class DownloaderFixture : public ::testing::Test {
protected:
    DownloaderFixture() : window(true), downloader(log, window) { log.Open(temp.Path()); }

    std::wstring Dest(const std::wstring& name) const { return temp / name; }

    TempDir temp;
    TraceLog log;
    ProgressWindow window;
    orv::Downloader downloader;
};

} // namespace downloadtest

// The download ladder and its backends against the loopback servers, for
// what the scenarios cannot pin down: every backend's transfer, the exact
// request, progress while a body arrives, the file handling of failed tries
// and a window closed during a try.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <thread>

#include "download/DownloadRules.h"
#include "download/Downloader.h"
#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"

namespace orv {

// The backends and counters are private; the tests reach them through this door.
struct DownloaderTestAccess {
    using S = const std::wstring&;
    using Fetch = bool (*)(Downloader&, S, S, std::wstring&);
    static bool WinHttp(Downloader& d, S url, S path, std::wstring& error) { return d.DownloadWinHttp(url, path, error); }
    static bool WinInet(Downloader& d, S url, S path, std::wstring& error) { return d.DownloadWinInet(url, path, error); }
    static bool UrlMon(Downloader&, S url, S path, std::wstring& error) { return DownloadUrlMon(url, path, error); }
    static int32_t Received(const Downloader& d) { return d.bytesReceived.load(); }
    static int32_t Total(const Downloader& d) { return d.bytesTotal.load(); }
};

} // namespace orv

namespace {

using orv::DownloadAttempt;
using Access = orv::DownloaderTestAccess;

const std::pair<const char*, Access::Fetch> kCountingBackends[] = {{"WinHTTP", &Access::WinHttp},
                                                                   {"WinINet", &Access::WinInet}};

// An address of the servers ("http", "https", "fault", "docroot"), from the
// file the servers.start fixture of ctest writes.
std::wstring Server(const std::string& key)
{
    static std::map<std::string, std::wstring> values = [] {
        std::map<std::string, std::wstring> read;
        std::istringstream lines(ReadTestFile(TestEnvPath("ORV_TEST_SERVERS_FILE")));
        for (std::string line; std::getline(lines, line);) {
            read[line.substr(0, line.find('='))] = Utf8ToWide(line.substr(line.find('=') + 1));
        }
        return read;
    }();
    EXPECT_EQ(values.count(key), 1u) << "no " << key << " server: run through ctest";
    return values.count(key) ? values[key] : L"http://127.0.0.1:1/no-server/";
}

// The body bytes the fault server sends: byte i is (7 i + 3) mod 251.
std::string PatternBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return bytes;
}

// A gate of the fault server that no earlier run used, and a question to it
// ("arrived", "open"): true on a 2xx answer.
std::wstring UniqueGate()
{
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
}

bool AskGate(const std::wstring& question, const std::wstring& gate)
{
    TempDir dir;
    std::wstring error;
    return orv::DownloadUrlMon(Server("fault") + question + L"?name=" + gate, dir / L"answer", error);
}

// Backend and result of each try as "WinHTTP=PASS" and so on, joined by "; ".
std::wstring Tries(const std::vector<DownloadAttempt>& attempts)
{
    std::wstring text;
    for (const DownloadAttempt& a : attempts) {
        text += (text.empty() ? L"" : L"; ") + a.backend + L"=" + a.result;
    }
    return text;
}

class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() : window(true), downloader(log, window) { log.Open(temp.Path()); }

    TempDir temp;
    TraceLog log;
    ProgressWindow window;
    orv::Downloader downloader;
    const std::wstring part = temp / L"body.part";
};

TEST_F(DownloadTest, EveryBackendFetchesWholeBodiesWhateverTheFramingAndCountsThem)
{
    const std::string blob = ReadTestFile(JoinPath(Server("docroot"), L"blob-3m.bin"));
    const struct {
        std::wstring url;
        std::string body;
        int32_t total; // 0: no length announced
    } cases[] = {
        {Server("http") + L"blob-3m.bin", blob, static_cast<int32_t>(blob.size())},
        {Server("https") + L"blob-3m.bin", blob, static_cast<int32_t>(blob.size())},
        // Larger than the read buffer and not a multiple of it.
        {Server("fault") + L"nolength?size=300001", PatternBytes(300001), 0},
        {Server("fault") + L"chunked?size=300001", PatternBytes(300001), 0},
    };
    const std::pair<const char*, Access::Fetch> backends[] = {
        kCountingBackends[0], kCountingBackends[1], {"URLMon", &Access::UrlMon}};
    for (const auto& backend : backends) {
        for (const auto& c : cases) {
            std::wstring error;
            ASSERT_TRUE(backend.second(downloader, c.url, part, error)) << backend.first << c.url << L": " << error;
            EXPECT_TRUE(ReadTestFile(part) == c.body) << backend.first << c.url << L": the body differs";
            if (backend.second != &Access::UrlMon) { // URLMon reports no progress we could use
                EXPECT_EQ(Access::Received(downloader), static_cast<int32_t>(c.body.size())) << c.url;
                EXPECT_EQ(Access::Total(downloader), c.total) << backend.first << c.url;
            }
        }
    }
}

TEST_F(DownloadTest, TheRequestCarriesPathQueryHostAndAgent)
{
    std::wstring root = Server("fault");
    root.pop_back(); // "http://127.0.0.1:PORT": no path at all
    const std::pair<std::wstring, std::wstring> cases[] = {
        {Server("fault") + L"echo?alpha=1&beta=two", L"GET /echo?alpha=1&beta=two HTTP/1.1\r\n"},
        {root, L"GET / HTTP/1.1\r\n"},
    };
    for (const auto& backend : kCountingBackends) {
        for (const auto& c : cases) {
            std::wstring error;
            ASSERT_TRUE(backend.second(downloader, c.first, part, error)) << backend.first << error;
            const std::wstring request = Utf8ToWide(ReadTestFile(part));
            EXPECT_EQ(request.find(c.second), 0u) << request;
            for (const std::wstring& header :
                 {L"Host: " + root.substr(7), std::wstring(L"User-Agent: OrvUpdaterW7/27.0 (Windows 7)")}) {
                EXPECT_NE(request.find(L"\r\n" + header + L"\r\n"), std::wstring::npos) << request;
            }
        }
    }
}

TEST_F(DownloadTest, TheCountersShowTheTotalAndPartOfTheBodyWhileItArrives)
{
    // The server sends two read buffers' worth of the body and holds the
    // rest until the test has seen the counters in between.
    const int32_t size = 4 * 65536 + 7;
    for (const auto& backend : kCountingBackends) {
        const std::wstring gate = UniqueGate() + Utf8ToWide(backend.first);
        bool succeeded = false;
        std::wstring error;
        std::thread worker([&] {
            succeeded = backend.second(downloader, Server("fault") + L"hold?name=" + gate + L"&size=" +
                                                       std::to_wstring(size) + L"&first=131072", part, error);
        });
        const bool arrived = AskGate(L"arrived", gate);
        for (const ULONGLONG deadline = ::GetTickCount64() + 30000;
             arrived && Access::Received(downloader) == 0 && ::GetTickCount64() < deadline;) {
            ::Sleep(10); // the body is held: this state lasts until the gate opens
        }
        const int32_t received = Access::Received(downloader), total = Access::Total(downloader);
        EXPECT_TRUE(AskGate(L"open", gate));
        worker.join();
        ASSERT_TRUE(arrived && succeeded) << backend.first << error;
        EXPECT_TRUE(received > 0 && received <= 131072) << backend.first << received;
        EXPECT_EQ(total, size) << backend.first << ": the announced length was not counted before the body ended";
        EXPECT_EQ(Access::Received(downloader), size) << backend.first;
    }
}

TEST_F(DownloadTest, ALockedDestinationFailsEveryTryAtTheMoveAndAClosedWindowStartsNone)
{
    const std::wstring dest = temp / L"updater.xml";
    WriteTestFile(dest, "held open");
    std::vector<DownloadAttempt> attempts;
    {
        UniqueFile holder = LockFile(dest);
        EXPECT_FALSE(downloader.Download(Server("http") + L"blob-3m.bin", dest, attempts, false));
    }
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_NE(attempts[0].result.find(L" (Win32 5)"), std::wstring::npos) << attempts[0].result;
    EXPECT_EQ(Tries(attempts), L"WinHTTP=" + attempts[0].result + L"; WinINet=" + attempts[0].result +
                                   L"; URLMon=" + attempts[0].result);
    EXPECT_EQ(ReadTestFile(dest), "held open");
    EXPECT_FALSE(FileExists(dest + L".part"));

    window.closeRequested = true;
    EXPECT_FALSE(downloader.Download(Server("http") + L"blob-3m.bin", dest, attempts, false));
    EXPECT_EQ(attempts.size(), 3u) << "a try started after the window was closed";
}

TEST_F(DownloadTest, AFailedLocalTryLeavesItsPartFileForTheNextDownloadToRemove)
{
    WriteTestFile(temp / L"empty.zip", "");
    WriteTestFile(temp / L"text.zip", "this is no zip archive");
    const std::wstring dest = temp / L"downloads\\pkg.zip";
    const struct {
        const wchar_t* source;
        bool validateZip;
        std::wstring result;
        const char* part; // what pkg.zip.part holds afterwards; null: no such file
    } cases[] = {
        {L"text.zip", true, L"ZIP validation failed: miniz rejected the ZIP central directory.",
         "this is no zip archive"},
        {L"empty.zip", false, L"Downloaded file is missing or empty.", ""},
        // The stale part file is removed before the try, which fails before making one.
        {L"missing.zip", false, L" (Win32 2)", nullptr},
        {L"text.zip", false, L"PASS", nullptr},
    };
    for (const auto& c : cases) {
        WriteTestFile(dest, "previous");
        // "FILE:///C:/a%20b/c.zip", written out by hand so as not to lean on the conversion.
        std::wstring url = L"FILE:///" + (temp / c.source);
        for (size_t at = 8; (at = url.find_first_of(L"\\ ", at)) != std::wstring::npos;) {
            url.replace(at, 1, url[at] == L' ' ? L"%20" : L"/");
        }
        std::vector<DownloadAttempt> attempts;
        const bool passed = downloader.Download(url, dest, attempts, c.validateZip);
        EXPECT_EQ(Tries(attempts).substr(0, 10), L"LocalFile=") << c.source;
        EXPECT_NE(Tries(attempts).find(c.result), std::wstring::npos) << Tries(attempts);
        EXPECT_EQ(passed, c.result == L"PASS");
        EXPECT_EQ(ReadTestFile(dest) == "previous", !passed) << c.source;
        EXPECT_EQ(FileExists(dest + L".part"), c.part != nullptr) << c.source;
        EXPECT_EQ(ReadTestFile(dest + L".part"), c.part ? c.part : "") << c.source;
    }
}

// With a real window. The server holds the first try's answer until the
// window, closed from another thread, is gone: only a caller that pumps while
// the try runs lets that happen. The try then ends as the server says, and no
// other backend is tried.
TEST(DownloadWindowTest, ClosingTheWindowDuringATryLetsItFinishAndStopsTheLadder)
{
    TempDir temp;
    TraceLog log;
    log.Open(temp.Path());
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());
    orv::Downloader downloader(log, window);
    const HWND target = window.window;
    bool closedDuringTheTry = false;
    const std::wstring gate = UniqueGate() + L"close";
    std::thread closer([&] {
        DWORD_PTR result = 0;
        closedDuringTheTry = AskGate(L"arrived", gate) &&
                             ::SendMessageTimeoutW(target, WM_CLOSE, 0, 0, SMTO_NORMAL, 20000, &result) != 0;
        AskGate(L"open", gate);
    });
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Server("fault") + L"hold?name=" + gate + L"&code=404", temp / L"x", attempts,
                                     false));
    closer.join();
    EXPECT_TRUE(closedDuringTheTry) << "the caller did not pump while the try ran";
    EXPECT_TRUE(window.closeRequested);
    EXPECT_EQ(Tries(attempts), L"WinHTTP=HTTP status 404");
}

TEST(DownloadRulesTest, ProgressCountsClampAndOnlyTheFileSchemeInAnyAsciiCaseIsLocal)
{
    const std::pair<uint64_t, int32_t> counts[] = {
        {0, 0}, {2147483647ull, 2147483647}, {2147483648ull, 2147483647},
        // Would wrap to 5 if the count were merely truncated to 32 bits.
        {4294967301ull, 2147483647}, {UINT64_MAX, 2147483647},
    };
    for (const auto& c : counts) {
        EXPECT_EQ(orv::ClampProgressCount(c.first), c.second) << c.first;
    }
    const std::pair<const wchar_t*, bool> urls[] = {
        {L"FILE:///C:/x.zip", true}, {L"fIlE://", true}, {L"file:/C:/x.zip", false}, {L" file:///C:/x", false},
        {L"http://h/file:///x", false}, {L"fil", false}, {L"", false},
        // Look-alike letters of other scripts are not the scheme.
        {L"f\u0131le:///C:/x", false}, {L"\u0444ile:///C:/x", false},
    };
    for (const auto& c : urls) {
        EXPECT_EQ(orv::IsFileUrl(c.first), c.second) << c.first;
    }
}

} // namespace

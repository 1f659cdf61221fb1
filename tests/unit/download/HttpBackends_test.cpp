// The WinHTTP and WinINet backends against real loopback servers. Both keep
// the same contract, so most cases run for both; URLMon has its own cases.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DownloadTestSupport.h"
#include "download/DownloadRules.h"

namespace {

using downloadtest::DownloaderFixture;
using downloadtest::PatternBytes;
using downloadtest::Servers;
using downloadtest::Watchdog;
using orv::Downloader;
using orv::DownloaderTestAccess;

struct BackendCase {
    const char* name;
    bool (*run)(Downloader&, const std::wstring&, const std::wstring&, std::wstring&);
};

void PrintTo(const BackendCase& backend, std::ostream* out)
{
    *out << backend.name;
}

const BackendCase kHttpBackends[] = {
    {"WinHTTP", &DownloaderTestAccess::WinHttp},
    {"WinINet", &DownloaderTestAccess::WinInet},
};

class HttpBackendTest : public DownloaderFixture, public ::testing::WithParamInterface<BackendCase> {
protected:
    bool Fetch(const std::wstring& url, std::wstring& error)
    {
        return GetParam().run(downloader, url, part, error);
    }
    std::string Docroot(const std::wstring& name) const { return ReadTestFile(JoinPath(Servers().docroot, name)); }

    const std::wstring part = temp / L"body.part";
};

// "127.0.0.1:PORT" of a base URL such as "http://127.0.0.1:PORT/".
std::string Authority(const std::wstring& base)
{
    const size_t start = base.find(L"://") + 3;
    return WideToUtf8(base.substr(start, base.find(L'/', start) - start));
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return text.find(part) != std::wstring::npos;
}

TEST_P(HttpBackendTest, StaticFilesArriveCompleteOverHttpAndHttps)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    for (const std::wstring& base : {Servers().http, Servers().https}) {
        for (const wchar_t* name : {L"hello.txt", L"updater.xml", L"blob-3m.bin"}) {
            SCOPED_TRACE(base + name);
            std::wstring error;
            ASSERT_TRUE(Fetch(base + name, error)) << error;
            const std::string expected = Docroot(name);
            ASSERT_FALSE(expected.empty());
            EXPECT_TRUE(ReadTestFile(part) == expected) << "body differs from the served file";
            EXPECT_EQ(DownloaderTestAccess::Received(downloader), static_cast<int32_t>(expected.size()));
            DeleteFileIfPresent(part);
        }
    }
    // The large file is sent with its length, so the total is known.
    std::wstring error;
    ASSERT_TRUE(Fetch(Servers().http + L"blob-3m.bin", error)) << error;
    EXPECT_EQ(DownloaderTestAccess::Total(downloader), 3 * 1048576 + 123);
}

TEST_P(HttpBackendTest, NonSuccessStatusFailsWithTheCodeAndCreatesNoFile)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::pair<std::wstring, const wchar_t*> cases[] = {
        {Servers().http + L"no-such-file.zip", L"HTTP status 404"},
        {Servers().https + L"no-such-file.zip", L"HTTP status 404"},
        {Servers().fault + L"status?code=304", L"HTTP status 304"},
        {Servers().fault + L"status?code=500", L"HTTP status 500"},
        {Servers().fault + L"status?code=404", L"HTTP status 404"},
    };
    for (const auto& c : cases) {
        std::wstring error;
        EXPECT_FALSE(Fetch(c.first, error)) << c.first;
        EXPECT_EQ(error, c.second) << c.first;
        EXPECT_FALSE(FileExists(part)) << c.first;
    }
}

TEST_P(HttpBackendTest, EmptyBodyFailsAndLeavesNoFile)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    for (const std::wstring& url : {Servers().http + L"empty.bin", Servers().fault + L"empty"}) {
        std::wstring error;
        EXPECT_FALSE(Fetch(url, error)) << url;
        EXPECT_EQ(error, L"Server returned an empty response.") << url;
        EXPECT_FALSE(FileExists(part)) << url;
    }
}

TEST_P(HttpBackendTest, BodyWithoutLengthIsReadToItsEndWithUnknownTotal)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    // Larger than the read buffer, and not a multiple of it.
    const size_t size = 300001;
    for (const wchar_t* route : {L"nolength?size=300001", L"chunked?size=300001"}) {
        SCOPED_TRACE(route);
        std::wstring error;
        ASSERT_TRUE(Fetch(Servers().fault + route, error)) << error;
        EXPECT_TRUE(ReadTestFile(part) == PatternBytes(size)) << "body differs";
        EXPECT_EQ(DownloaderTestAccess::Total(downloader), 0);
        EXPECT_EQ(DownloaderTestAccess::Received(downloader), static_cast<int32_t>(size));
        DeleteFileIfPresent(part);
    }
}

TEST_P(HttpBackendTest, QueryStringPortAndUserAgentReachTheServer)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring error;
    ASSERT_TRUE(Fetch(Servers().fault + L"echo?alpha=1&beta=two", error)) << error;
    const std::string request = ReadTestFile(part);
    EXPECT_TRUE(Contains(request, "GET /echo?alpha=1&beta=two HTTP/1.1\r\n")) << request;
    EXPECT_TRUE(Contains(request, "\r\nHost: " + Authority(Servers().fault) + "\r\n")) << request;
    EXPECT_TRUE(Contains(request, "\r\nUser-Agent: OrvUpdaterW7/27.0 (Windows 7)\r\n")) << request;
}

TEST_P(HttpBackendTest, UrlWithoutPathRequestsTheRoot)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring base = Servers().fault;
    base.pop_back();  // "http://127.0.0.1:PORT"
    std::wstring error;
    ASSERT_TRUE(Fetch(base, error)) << error;
    EXPECT_EQ(ReadTestFile(part).rfind("GET / HTTP/1.1\r\n", 0), 0u) << ReadTestFile(part);
}

TEST_P(HttpBackendTest, BodyLengthIsNotComparedWithTheAnnouncedLength)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring error;
    // Announced 2000, sent 1000, then a clean close: taken as it came.
    ASSERT_TRUE(Fetch(Servers().fault + L"short?size=2000&sent=1000", error)) << error;
    EXPECT_TRUE(ReadTestFile(part) == PatternBytes(1000));
    DeleteFileIfPresent(part);

    // Announced 1000, sent 2000: at least the announced bytes, all correct.
    ASSERT_TRUE(Fetch(Servers().fault + L"long?size=1000&extra=1000", error)) << error;
    const std::string body = ReadTestFile(part);
    EXPECT_GE(body.size(), 1000u);
    EXPECT_TRUE(PatternBytes(2000).compare(0, body.size(), body) == 0) << "body is not what the server sent";
}

TEST_P(HttpBackendTest, CompressedBodyIsWrittenAsHandedOver)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring error;
    ASSERT_TRUE(Fetch(Servers().fault + L"gzip", error)) << error;
    const std::string body = ReadTestFile(part);
    // Either unpacked by the HTTP stack or the gzip stream exactly as sent.
    const bool unpacked = body == Docroot(L"hello.txt");
    const bool raw = body.size() > 18 && body.compare(0, 3, "\x1f\x8b\x08") == 0;
    EXPECT_TRUE(unpacked || raw) << "neither the text nor a gzip stream (" << body.size() << " bytes)";
}

TEST_P(HttpBackendTest, ProgressGrowsWhileTheBodyArrives)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    // Several read buffers' worth, arriving over about a second: a read may
    // wait for a full buffer, so smaller bodies could end in a single read.
    const int32_t size = 6 * 65536 + 7;
    const std::wstring url = Servers().fault + L"trickle?size=" + std::to_wstring(size) + L"&pieces=24&ms=50";
    std::atomic<bool> finished{false};
    bool succeeded = false;
    std::wstring error;
    std::thread worker([&] {
        succeeded = Fetch(url, error);
        finished = true;
    });
    bool sawPartial = false;
    bool sawTotal = false;
    while (!finished) {
        const int32_t received = DownloaderTestAccess::Received(downloader);
        const int32_t total = DownloaderTestAccess::Total(downloader);
        sawPartial = sawPartial || (received > 0 && received < size);
        sawTotal = sawTotal || (received < size && total == size);
        ::Sleep(5);
    }
    worker.join();
    ASSERT_TRUE(succeeded) << error;
    EXPECT_TRUE(sawPartial) << "the counters only moved at the end";
    EXPECT_TRUE(sawTotal) << "the announced length reached the counters only at the end";
    EXPECT_EQ(DownloaderTestAccess::Received(downloader), size);
    EXPECT_EQ(DownloaderTestAccess::Total(downloader), size);
}

TEST_P(HttpBackendTest, BrokenTransfersFailWithTheSystemErrorAndLeaveNoFile)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::pair<std::wstring, const wchar_t*> cases[] = {
        // Nothing listens: the connection is refused.
        {Servers().refused + L"updater.xml", L"(Win32 12029)"},
        // The connection is reset after part of the body.
        {Servers().fault + L"reset?size=200000&sent=50000", L"(Win32 "},
        // nginx closes the connection without any answer. (Wine's WinINet
        // then reads a status of 0 instead of failing the request, so only
        // the failure itself is common ground.)
        {Servers().http + L"close", L""},
    };
    for (const auto& c : cases) {
        std::wstring error;
        EXPECT_FALSE(Fetch(c.first, error)) << c.first;
        EXPECT_FALSE(error.empty()) << c.first;
        EXPECT_TRUE(Contains(error, c.second)) << c.first << L" gave: " << error;
        EXPECT_FALSE(FileExists(part)) << c.first;
    }
}

TEST_P(HttpBackendTest, MalformedAndUnknownUrlsFailWithAnErrorText)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring cases[] = {
        L"gopher://127.0.0.1/x",
        L"http://",
        L"not a url at all",
        L"",
        L"http://127.0.0.1:99999/x",
        L"http://[::1/x",
    };
    for (const std::wstring& url : cases) {
        std::wstring error;
        EXPECT_FALSE(Fetch(url, error)) << url;
        EXPECT_TRUE(Contains(error, L"(Win32 ")) << url << L" gave: " << error;
        EXPECT_FALSE(FileExists(part)) << url;
    }
}

TEST_P(HttpBackendTest, UnwritableTemporaryPathFailsWithTheSystemError)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring error;
    const std::wstring nowhere = temp / L"no-such-folder\\body.part";
    EXPECT_FALSE(GetParam().run(downloader, Servers().http + L"hello.txt", nowhere, error));
    EXPECT_TRUE(Contains(error, L"(Win32 3)")) << error;
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpBackendTest, ::testing::ValuesIn(kHttpBackends),
                         [](const ::testing::TestParamInfo<BackendCase>& info) { return std::string(info.param.name); });

// URLMon: the system's one-call download, checked for its own texts.
class UrlMonBackendTest : public DownloaderFixture {
protected:
    const std::wstring part = temp / L"body.part";
};

TEST_F(UrlMonBackendTest, DownloadsAFileOverHttpAndHttps)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    for (const std::wstring& base : {Servers().http, Servers().https}) {
        std::wstring error;
        ASSERT_TRUE(orv::DownloadUrlMon(base + L"blob-3m.bin", part, error)) << base << L": " << error;
        EXPECT_TRUE(ReadTestFile(part) == ReadTestFile(JoinPath(Servers().docroot, L"blob-3m.bin")));
        DeleteFileIfPresent(part);
    }
}

TEST_F(UrlMonBackendTest, FailureTextCarriesTheHresultInEightUpperCaseHexDigits)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring error;
    EXPECT_FALSE(orv::DownloadUrlMon(Servers().refused + L"updater.xml", part, error));
    const std::wstring prefix = L"URLDownloadToFile failed (HRESULT 0x";
    ASSERT_EQ(error.size(), prefix.size() + 9) << error;
    EXPECT_EQ(error.substr(0, prefix.size()), prefix);
    const std::wstring digits = error.substr(prefix.size(), 8);
    EXPECT_EQ(digits.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << error;
    // A failure code has its top bit set.
    EXPECT_GE(digits[0], L'8') << error;
    EXPECT_EQ(error.back(), L')');
}

TEST_F(UrlMonBackendTest, EmptyBodyIsAFailure)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::wstring error;
    EXPECT_FALSE(orv::DownloadUrlMon(Servers().fault + L"empty", part, error));
    EXPECT_EQ(error, L"URLMon created an empty response.");
}

} // namespace

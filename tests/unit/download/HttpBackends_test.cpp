// The WinHTTP and WinINet backends against real loopback servers, for what
// the end-to-end scenarios do not pin down: the exact request, bodies
// without a length, progress while a body arrives, and a broken transfer
// leaving no file.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DownloadTestSupport.h"

namespace {

using downloadtest::PatternBytes;
using downloadtest::Server;
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

class HttpBackendTest : public downloadtest::DownloaderFixture, public ::testing::WithParamInterface<BackendCase> {
protected:
    bool Fetch(const std::wstring& url, std::wstring& error) { return GetParam().run(downloader, url, part, error); }
    const std::wstring part = temp / L"body.part";
};

TEST_P(HttpBackendTest, BodiesArriveCompleteWithTheirCountsWhateverTheFraming)
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
    for (const auto& c : cases) {
        std::wstring error;
        ASSERT_TRUE(Fetch(c.url, error)) << c.url << L": " << error;
        EXPECT_TRUE(ReadTestFile(part) == c.body) << c.url << L": the body differs";
        EXPECT_EQ(DownloaderTestAccess::Received(downloader), static_cast<int32_t>(c.body.size())) << c.url;
        EXPECT_EQ(DownloaderTestAccess::Total(downloader), c.total) << c.url;
    }
}

TEST_P(HttpBackendTest, TheRequestCarriesPathQueryHostAndAgent)
{
    std::wstring root = Server("fault");
    root.pop_back(); // "http://127.0.0.1:PORT": no path at all
    const std::wstring host = root.substr(7);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {Server("fault") + L"echo?alpha=1&beta=two", L"GET /echo?alpha=1&beta=two HTTP/1.1\r\n"},
        {root, L"GET / HTTP/1.1\r\n"},
    };
    for (const auto& c : cases) {
        std::wstring error;
        ASSERT_TRUE(Fetch(c.first, error)) << error;
        const std::wstring request = Utf8ToWide(ReadTestFile(part));
        EXPECT_EQ(request.find(c.second), 0u) << request;
        EXPECT_NE(request.find(L"\r\nHost: " + host + L"\r\n"), std::wstring::npos) << request;
        EXPECT_NE(request.find(L"\r\nUser-Agent: OrvUpdaterW7/27.0 (Windows 7)\r\n"), std::wstring::npos) << request;
    }
}

TEST_P(HttpBackendTest, TheCountersShowTheTotalAndPartOfTheBodyWhileItArrives)
{
    // The server sends two read buffers' worth of the body and holds the
    // rest until the test has seen the counters in between.
    const int32_t size = 4 * 65536 + 7;
    const std::wstring gate = downloadtest::UniqueGate(L"progress" + Utf8ToWide(GetParam().name));
    std::atomic<bool> finished{false};
    bool succeeded = false;
    std::wstring error;
    std::thread worker([&] {
        succeeded = Fetch(Server("fault") + L"hold?name=" + gate + L"&size=" + std::to_wstring(size) +
                              L"&first=131072",
                          error);
        finished = true;
    });
    const bool arrived = downloadtest::AskFaultServer(L"arrived?name=" + gate);
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    while (arrived && DownloaderTestAccess::Received(downloader) == 0 && !finished && ::GetTickCount64() < deadline) {
        ::Sleep(10); // the body is held: this state lasts until the gate opens
    }
    const int32_t received = DownloaderTestAccess::Received(downloader);
    const int32_t total = DownloaderTestAccess::Total(downloader);
    EXPECT_TRUE(downloadtest::AskFaultServer(L"open?name=" + gate));
    worker.join();
    EXPECT_TRUE(arrived);
    ASSERT_TRUE(succeeded) << error;
    EXPECT_GT(received, 0) << "nothing counted while the body was held";
    EXPECT_LE(received, 131072);
    EXPECT_EQ(total, size) << "the announced length was not counted before the body ended";
    EXPECT_EQ(DownloaderTestAccess::Received(downloader), size);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpBackendTest, ::testing::ValuesIn(kHttpBackends),
                         [](const ::testing::TestParamInfo<BackendCase>& info) { return std::string(info.param.name); });

TEST(UrlMonBackendTest, DownloadsOverHttpAndHttps)
{
    TempDir temp;
    for (const std::wstring& base : {Server("http"), Server("https")}) {
        std::wstring error;
        ASSERT_TRUE(orv::DownloadUrlMon(base + L"blob-3m.bin", temp / L"body.part", error)) << base << L": " << error;
        EXPECT_TRUE(ReadTestFile(temp / L"body.part") == ReadTestFile(JoinPath(Server("docroot"), L"blob-3m.bin")));
    }
}

} // namespace

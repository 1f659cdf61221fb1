// The download ladder and its backends against the loopback servers, for
// what the scenarios cannot pin down: every backend's transfer, the exact
// request, TLS for https, the file handling of failed tries and a window
// closed during a try. (Progress while a body arrives, and the pumping that
// keeps the window alive meanwhile, are read from the real updater's window
// in the package scenario.)
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "download/Downloader.h"
#include "log/TraceLog.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"

using namespace orv;

namespace orv {

// The backends and counters are private; the tests reach them through this door.
struct DownloaderTestAccess {
    using S = const std::wstring&;
    using E = std::wstring&;
    using Fetch = bool (*)(Downloader&, S, S, E);
    // Where the driver would keep the record of a try writing to path.
    static Downloader& At(Downloader& d, S path) { return d.partialRecordPath = path + L".resume", d; }
    static bool WinHttp(Downloader& d, S url, S path, E e) { return At(d, path).DownloadWinHttp(url, path, e); }
    static bool WinInet(Downloader& d, S url, S path, E e) { return At(d, path).DownloadWinInet(url, path, e); }
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

// An address of the servers ("http", "fault", "docroot"), from the file the
// servers.start fixture of ctest writes.
std::wstring Server(const std::string& key)
{
    std::istringstream lines(ReadTestFile(TestEnvPath("ORV_TEST_SERVERS_FILE")));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            return Utf8ToWide(line.substr(key.size() + 1));
        }
    }
    ADD_FAILURE() << "no " << key << " server: run through ctest";
    return L"http://127.0.0.1:1/no-server/";
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

TEST_F(DownloadTest, WholeBodiesWhateverTheFramingTheRequestsPathHostAndAgentAndHttpsIsAlwaysTls)
{
    const std::string blob = ReadTestFile(JoinPath(Server("docroot"), L"blob-3m.bin"));
    // nginx announces the length; the fault server ends the body by closing the connection.
    const std::pair<std::wstring, int32_t> cases[] = {
        {Server("http") + L"blob-3m.bin", static_cast<int32_t>(blob.size())},
        {Server("fault") + L"nolength/blob-3m.bin", 0},
    };
    const std::pair<const char*, Access::Fetch> backends[] = {
        kCountingBackends[0], kCountingBackends[1], {"URLMon", &Access::UrlMon}};
    for (const auto& backend : backends) {
        for (const auto& c : cases) {
            std::wstring error;
            ASSERT_TRUE(backend.second(downloader, c.first, part, error)) << backend.first << c.first << L": " << error;
            EXPECT_TRUE(ReadTestFile(part) == blob) << backend.first << c.first << L": the body differs";
            if (backend.second != &Access::UrlMon) { // URLMon reports no progress we could use
                EXPECT_EQ(Access::Received(downloader), static_cast<int32_t>(blob.size())) << c.first;
                EXPECT_EQ(Access::Total(downloader), c.second) << backend.first << c.first;
            }
        }
    }
    std::wstring root = Server("fault");
    root.pop_back(); // "http://127.0.0.1:PORT": no path at all
    const std::pair<std::wstring, std::wstring> requests[] = {
        {Server("fault") + L"echo?alpha=1&beta=two", L"GET /echo?alpha=1&beta=two HTTP/1.1\r\n"},
        {root, L"GET / HTTP/1.1\r\n"},
    };
    for (const auto& backend : kCountingBackends) {
        for (const auto& r : requests) {
            std::wstring error;
            ASSERT_TRUE(backend.second(downloader, r.first, part, error)) << backend.first << error;
            const std::wstring request = Utf8ToWide(ReadTestFile(part));
            EXPECT_EQ(request.find(r.second), 0u) << request;
            for (const std::wstring& header :
                 {L"Host: " + root.substr(7), std::wstring(L"User-Agent: OrvUpdaterW7/27.0 (Windows 7)")}) {
                EXPECT_NE(request.find(L"\r\n" + header + L"\r\n"), std::wstring::npos) << request;
            }
        }
    }
    // nginx's plain-HTTP port named with "https": WinHTTP must try TLS there, and fail.
    const std::wstring secure = L"https" + Server("http").substr(4) + L"blob-3m.bin";
    std::wstring error;
    EXPECT_FALSE(Access::WinHttp(downloader, secure, part, error)) << "plain HTTP was spoken to an https URL";
    EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;
}

// A failed download never touches the destination, here held open by another
// program. Network tries leave no part file; a local try leaves its own for
// the next download to the same destination to remove.
TEST_F(DownloadTest, FailedDownloadsLeaveTheDestinationAsItWas)
{
    WriteTestFile(temp / L"empty.zip", "");
    WriteTestFile(temp / L"text.zip", "this is no zip archive");
    const std::wstring dest = temp / L"downloads\\pkg.zip";
    // "FILE:///C:/x/c.zip", written out by hand so as not to lean on the conversion.
    const auto local = [&](const wchar_t* name) {
        std::wstring url = L"FILE:///" + (temp / name);
        std::replace(url.begin(), url.end(), L'\\', L'/');
        return url;
    };
    const struct {
        std::wstring url;
        bool refuse; // the caller's own check refuses the file
        const wchar_t* tries; // a pattern of the tries as "backend=result; ..."
        const char* part; // what pkg.zip.part holds afterwards; null: no such file
    } cases[] = {
        // Every network try fails at the move onto the destination.
        {Server("http") + L"blob-3m.bin", false,
         L"WinHTTP=.* \\(Win32 5\\); WinINet=.* \\(Win32 5\\); URLMon=.* \\(Win32 5\\)", nullptr},
        {local(L"text.zip"), true, L"LocalFile=Refused by the caller\\.",
         "this is no zip archive"},
        {local(L"empty.zip"), false, L"LocalFile=Downloaded file is missing or empty\\.", ""},
        // The stale part file is removed before the try, which fails before making one.
        {local(L"missing.zip"), false, L"LocalFile=.* \\(Win32 2\\)", nullptr},
    };
    for (const auto& c : cases) {
        WriteTestFile(dest, "previous");
        std::vector<DownloadAttempt> attempts;
        {
            UniqueFile holder = LockFile(dest);
            ExpectedFile expected;
            if (c.refuse) {
                expected.accept = [](const std::wstring&, std::wstring& error) {
                    error = L"Refused by the caller.";
                    return false;
                };
            }
            EXPECT_FALSE(downloader.Download(c.url, dest, attempts, expected));
        }
        EXPECT_TRUE(std::regex_match(Tries(attempts), std::wregex(c.tries))) << Tries(attempts);
        EXPECT_EQ(ReadTestFile(dest), "previous") << c.url;
        EXPECT_EQ(FileExists(dest + L".part"), c.part != nullptr) << c.url;
        EXPECT_EQ(ReadTestFile(dest + L".part"), c.part ? c.part : "") << c.url;
    }
}

// The offsets of the "Download resumed" lines of url in the log at path.
std::vector<uint64_t> ResumedOffsets(const std::wstring& path, const std::wstring& url)
{
    const std::wstring text = Utf8ToWide(ReadTestFile(path));
    const std::wstring mark = L"Download resumed | URL=" + url + L" | Offset=";
    std::vector<uint64_t> offsets;
    for (size_t at = text.find(mark); at != std::wstring::npos; at = text.find(mark, at + 1)) {
        offsets.push_back(std::stoull(text.substr(at + mark.size())));
    }
    return offsets;
}

// A link that breaks off (the relay cuts every answer after so many bytes):
// each try asks for the rest up to its limit, the next backend goes on from
// what the last one kept, and a server that ignores Range or a file that
// changed between two pieces makes the body start over. Only the complete,
// announced file reaches the destination, and nothing is left beside it.
TEST_F(DownloadTest, ABrokenOffBodyGoesOnWhereItWasCutAndStartsOverWhenTheServerOrTheFileIsAnother)
{
    const std::string blob = ReadTestFile(JoinPath(Server("docroot"), L"blob-3m.bin"));
    constexpr uint64_t kMiB = 1048576;
    constexpr uint64_t kPiece = 131072;
    // 24 cuts: WinHTTP takes 16 resumptions and keeps its part, WinINet continues it.
    std::vector<uint64_t> everyPiece;
    for (uint64_t offset = kPiece; offset < blob.size(); offset += kPiece) {
        everyPiece.push_back(offset);
    }
    const struct {
        const wchar_t* cuts;
        bool changes; // a new version takes the file's place after the first cut
        const wchar_t* tries;
        std::vector<uint64_t> offsets;
    } cases[] = {
        {L"1048576", false, L"WinHTTP=PASS", {kMiB, 2 * kMiB, 3 * kMiB}},
        {L"131072", false, L"WinHTTP=.+; WinINet=PASS", everyPiece},
        {L"1048576-once-norange", false, L"WinHTTP=PASS", {0}},
        {L"1048576-once", true, L"WinHTTP=PASS", {0}},
        // A reset drops what the client had not read yet: it goes on from what it got.
        {L"1048576-once-reset", false, L"WinHTTP=PASS", {}},
    };
    for (const auto& c : cases) {
        // A file of its own per case: the relay counts the cuts of each.
        const std::wstring name = L"resume-" + std::to_wstring(::GetTickCount()) + L"-" + c.cuts + L".bin";
        const std::wstring served = JoinPath(Server("docroot"), name);
        WriteTestFile(served, blob);
        const std::string wanted = c.changes ? blob + "!" : blob;
        WriteTestFile(served + L".next", wanted);
        Sha256Digest digest{};
        ASSERT_TRUE(Sha256File(served + L".next", digest));
        if (!c.changes) {
            DeleteFileIfPresent(served + L".next");
        }
        const ExpectedFile expected{true, wanted.size(), LowerHex(digest.data(), digest.size()), {}};
        const std::wstring url = Server("fault") + L"cut/" + c.cuts + L"/" + name;
        const std::wstring dest = temp / name;
        std::vector<DownloadAttempt> attempts;
        EXPECT_TRUE(downloader.Download(url, dest, attempts, expected)) << Tries(attempts);
        EXPECT_TRUE(std::regex_match(Tries(attempts), std::wregex(c.tries))) << Tries(attempts);
        EXPECT_TRUE(ReadTestFile(dest) == wanted) << c.cuts;
        const std::vector<uint64_t> offsets = ResumedOffsets(log.path, url);
        const bool fromWhatItGot = c.offsets.empty() && offsets.size() == 1 && offsets[0] > 0 && offsets[0] <= kMiB;
        EXPECT_TRUE(fromWhatItGot || offsets == c.offsets) << c.cuts << L" went on " << offsets.size() << L" times";
        EXPECT_FALSE(FileExists(dest + L".part") || FileExists(dest + L".part.resume")) << c.cuts;
        DeleteFileIfPresent(served);
    }
}

// A try runs on a worker thread: what it throws must reach the caller's
// thread (and the run's own handlers), not end the process there.
TEST_F(DownloadTest, WhatATryThrowsReachesTheCallersThread)
{
    WriteTestFile(temp / L"pkg.zip", "body");
    std::wstring url = L"FILE:///" + (temp / L"pkg.zip");
    std::replace(url.begin(), url.end(), L'\\', L'/');
    ExpectedFile expected;
    expected.accept = [](const std::wstring&, std::wstring&) -> bool { throw std::runtime_error("check broke"); };
    std::vector<DownloadAttempt> attempts;
    EXPECT_THROW(downloader.Download(url, temp / L"out.zip", attempts, expected), std::runtime_error);
}

// A close seen once a try is under way lets that try end as the server says,
// then stops the ladder. (That the caller pumps while a try runs is seen in
// the package scenario, which reads the progress bar mid-download.)
TEST(DownloadWindowTest, AWindowClosedDuringATryStopsTheLadderAfterIt)
{
    TempDir temp;
    TraceLog log;
    log.Open(temp.Path());
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());
    ASSERT_TRUE(::PostMessageW(window.Handle(), WM_CLOSE, 0, 0));
    orv::Downloader downloader(log, window);
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Server("http") + L"missing.xml", temp / L"x.xml", attempts, orv::ExpectedFile{}));
    EXPECT_TRUE(window.CloseRequested());
    EXPECT_EQ(Tries(attempts), L"WinHTTP=HTTP status 404");
}

// A download begun ahead of its turn is nobody's work under way yet: a close
// stops its try in flight rather than letting the server end it.
TEST(DownloadWindowTest, ADownloadBegunAheadStopsInFlightWhenTheWindowCloses)
{
    TempDir temp;
    TraceLog log;
    log.Open(temp.Path());
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());
    orv::Downloader downloader(log, window);
    downloader.Begin({Server("fault") + L"trickle"}, temp / L"x.bin", orv::ExpectedFile{}, true);
    EXPECT_FALSE(downloader.Service());
    ASSERT_TRUE(::PostMessageW(window.Handle(), WM_CLOSE, 0, 0));
    const ULONGLONG start = ::GetTickCount64();
    window.PumpMessages();
    downloader.Service();
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Finish(attempts));
    EXPECT_LT(::GetTickCount64() - start, 20000u) << "the trickle would have taken a minute";
    EXPECT_EQ(Tries(attempts), std::wstring(L"WinHTTP=") + orv::kStoppedText);
}

// A body that trickles in ends with the try's time limit on every backend,
// and the run goes on. (A server that never answers at all is cut off by
// closing the request from the waiting thread, which Wine does not honour:
// docs/windows-checklist.md.)
TEST_F(DownloadTest, ATryWhoseBodyTricklesInEndsAtItsTimeLimit)
{
    ExpectedFile expected;
    expected.limitSeconds = 2;
    std::vector<DownloadAttempt> attempts;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(downloader.Download(Server("fault") + L"trickle", temp / L"x.bin", attempts, expected));
    // Each try lasts its 2 seconds; uncut, the server would keep one for a minute.
    EXPECT_GE(::GetTickCount64() - start, 6000u);
    EXPECT_LT(::GetTickCount64() - start, 60000u);
    const std::wstring cut = L"Download did not finish within 2 seconds.";
    EXPECT_EQ(Tries(attempts), L"WinHTTP=" + cut + L"; WinINet=" + cut + L"; URLMon=" + cut);
    EXPECT_FALSE(FileExists(temp / L"x.bin.part"));
}

TEST(DownloadRulesTest, ATryMayTakeAsLongAsItsSizeNeedsAtTheSlowestRateButAtLeastTenMinutes)
{
    // Announced size (0: none), the try's own limit, the server's length: seconds.
    const uint64_t cases[][4] = {
        {0, 120, 1ull << 40, 120}, {0, 0, 0, 600}, {600 * 16384, 0, 0, 600}, {600 * 16384 + 1, 0, 0, 601},
        // The announced size counts, not the server's; without one, the server's.
        {1, 0, 1ull << 40, 600}, {0, 0, 20 * 1048576, 1280}};
    for (const auto& c : cases) {
        ExpectedFile expected;
        expected.sizeKnown = c[0] != 0;
        expected.size = c[0];
        expected.limitSeconds = c[1];
        EXPECT_EQ(orv::TryLimitSeconds(expected, c[2]), c[3]) << c[0] << "/" << c[1] << "/" << c[2];
        expected.maxSize = 1ull << 32;
        EXPECT_EQ(orv::TrySizeCap(expected), c[0] != 0 ? c[0] : 1ull << 32);
    }
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

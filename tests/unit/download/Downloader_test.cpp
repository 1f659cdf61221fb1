// The download ladder as its callers see it: attempts, log lines, the
// ".part" file and the destination.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "DownloadTestSupport.h"
#include "download/DownloadRules.h"

namespace {

using downloadtest::Server;
using orv::DownloadAttempt;
using orv::DownloaderTestAccess;

// "FILE:///C:/a%20b/c.txt" for C:\a b\c.txt, written out by hand so the test
// does not lean on the conversion it checks.
std::wstring CapitalFileUrl(std::wstring path)
{
    for (size_t at = 0; (at = path.find_first_of(L"\\ ", at)) != std::wstring::npos;) {
        path.replace(at, 1, path[at] == L' ' ? L"%20" : L"/");
    }
    return L"FILE:///" + path;
}

class DownloadDriverTest : public downloadtest::DownloaderFixture {
protected:
    // Downloads into dest (holding "previous" beforehand) and checks what
    // every caller relies on: one attempt per try appended after the caller's
    // own, one log line per try (their wording is the scenarios' business),
    // and the old file kept unless a try passed.
    std::vector<DownloadAttempt> Download(const std::wstring& url, bool validateZip, const std::wstring& dest)
    {
        WriteTestFile(dest, "previous");
        DeleteFileIfPresent(log.path);
        std::vector<DownloadAttempt> attempts{{L"earlier", L"Other", L"kept"}};
        const bool passed = downloader.Download(url, dest, attempts, validateZip);
        EXPECT_EQ(attempts.front().result, L"kept");
        attempts.erase(attempts.begin());
        for (const DownloadAttempt& a : attempts) {
            EXPECT_EQ(a.url, url);
        }
        EXPECT_EQ(TraceMessages(log.path, L"Download ").size(), attempts.size()) << "one log line per try";
        EXPECT_EQ(passed, !attempts.empty() && attempts.back().result == L"PASS");
        EXPECT_EQ(ReadTestFile(dest) == "previous", !passed) << url;
        return attempts;
    }
};

// Backend and result of each try as "WinHTTP=PASS" and so on, joined by "; ".
std::wstring Tries(const std::vector<DownloadAttempt>& attempts)
{
    std::wstring text;
    for (const DownloadAttempt& a : attempts) {
        text += (text.empty() ? L"" : L"; ") + a.backend + L"=" + a.result;
    }
    return text;
}

// Whether text matches pattern, where "*" stands for any run of characters.
bool Matches(const wchar_t* pattern, const wchar_t* text)
{
    return *pattern == 0 ? *text == 0
                         : *pattern == L'*' ? Matches(pattern + 1, text) || (*text != 0 && Matches(pattern, text + 1))
                                            : *pattern == *text && Matches(pattern + 1, text + 1);
}

TEST_F(DownloadDriverTest, EveryBackendIsTriedOnceWhenEachFails)
{
    const std::wstring empty = L"Server returned an empty response.";
    const struct {
        std::wstring url;
        bool validateZip;
        std::wstring tries; // "*" for the parts systems word differently
    } cases[] = {
        {Server("fault") + L"empty", false,
         L"WinHTTP=" + empty + L"; WinINet=" + empty + L"; URLMon=URLMon created an empty response."},
        // URLMon may save the 404 page as if it were the file (Wine does):
        // validation keeps it from ever becoming the package.
        {Server("http") + L"missing.zip", true, L"WinHTTP=HTTP status 404; WinINet=HTTP status 404; URLMon=*"},
        {L"orvtest://127.0.0.1/updater.xml", false,
         L"WinHTTP=* (Win32 12006); WinINet=* (Win32 *); URLMon=URLDownloadToFile failed (HRESULT 0x8*)"},
        {L"http://127.0.0.1:99999/updater.xml", false,
         L"WinHTTP=* (Win32 12005); WinINet=* (Win32 *); URLMon=URLDownloadToFile failed (HRESULT 0x8*)"},
    };
    for (const auto& c : cases) {
        const std::wstring dest = temp / L"updater.xml";
        const std::wstring tries = Tries(Download(c.url, c.validateZip, dest));
        EXPECT_TRUE(Matches(c.tries.c_str(), tries.c_str())) << tries;
        EXPECT_EQ(tries.find(L"=PASS"), std::wstring::npos) << tries;
        EXPECT_FALSE(FileExists(dest + L".part")) << c.url;
    }
}

TEST_F(DownloadDriverTest, ALockedDestinationFailsEveryTryAtTheMove)
{
    const std::wstring dest = temp / L"updater.xml";
    WriteTestFile(dest, "held open");
    UniqueFile holder = LockFile(dest);
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Server("http") + L"updater.xml", dest, attempts, false));
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_NE(attempts[0].result.find(L" (Win32 5)"), std::wstring::npos) << attempts[0].result;
    EXPECT_EQ(Tries(attempts), L"WinHTTP=" + attempts[0].result + L"; WinINet=" + attempts[0].result +
                                   L"; URLMon=" + attempts[0].result);
    holder.Reset();
    EXPECT_EQ(ReadTestFile(dest), "held open");
}

TEST_F(DownloadDriverTest, AFailedLocalTryLeavesItsPartFileForTheNextDownloadToRemove)
{
    WriteTestFile(temp / L"empty.zip", "");
    WriteTestFile(temp / L"text.zip", "this is no zip archive");
    const std::wstring dest = temp / L"downloads\\pkg.zip";
    const struct {
        std::wstring source;
        bool validateZip;
        std::wstring result;
        const char* part; // what pkg.zip.part holds afterwards; null: no such file
    } cases[] = {
        {temp / L"text.zip", true, L"ZIP validation failed: miniz rejected the ZIP central directory.",
         "this is no zip archive"},
        {temp / L"empty.zip", false, L"Downloaded file is missing or empty.", ""},
        // The stale part file is removed before the try, which fails before making one.
        {temp / L"missing.zip", false, L" (Win32 2)", nullptr},
        {temp / L"text.zip", false, L"PASS", nullptr},
    };
    for (const auto& c : cases) {
        const std::vector<DownloadAttempt> attempts = Download(CapitalFileUrl(c.source), c.validateZip, dest);
        ASSERT_EQ(attempts.size(), 1u) << c.source;
        EXPECT_EQ(attempts[0].backend, L"LocalFile");
        EXPECT_NE(attempts[0].result.find(c.result), std::wstring::npos) << attempts[0].result;
        EXPECT_EQ(FileExists(dest + L".part"), c.part != nullptr) << c.source;
        EXPECT_EQ(ReadTestFile(dest + L".part"), c.part ? c.part : "") << c.source;
    }
}

TEST_F(DownloadDriverTest, ACloseRequestedBeforehandStartsNoTry)
{
    window.closeRequested = true;
    EXPECT_EQ(Tries(Download(Server("http") + L"updater.xml", false, temp / L"updater.xml")), L"");
}

TEST_F(DownloadDriverTest, EachTryRunsOnAWorkerWithFreshCounters)
{
    DownloaderTestAccess::StoreProgress(downloader, 99, 99);
    DWORD worker = ::GetCurrentThreadId();
    int32_t counters = -1;
    EXPECT_FALSE(DownloaderTestAccess::RunAttempt(downloader, [&] {
        worker = ::GetCurrentThreadId();
        counters = DownloaderTestAccess::Received(downloader) + DownloaderTestAccess::Total(downloader);
        return false;
    }));
    EXPECT_NE(worker, ::GetCurrentThreadId());
    EXPECT_EQ(counters, 0);
}

// With a real window. The server holds the first try's answer until the
// window, closed from another thread, is gone: only a caller that pumps while
// the try runs lets that happen. The try then ends as the server says, and no
// other backend is tried.
TEST(DownloadWindowTest, ClosingTheWindowDuringATryLetsItFinishAndStopsTheLadder)
{
    Watchdog dog;
    TempDir temp;
    TraceLog log;
    log.Open(temp.Path());
    ProgressWindow window(false);
    ASSERT_TRUE(window.Create());
    orv::Downloader downloader(log, window);
    const HWND target = window.window;
    bool closedDuringTheTry = false;
    const std::wstring gate = downloadtest::UniqueGate(L"close");
    std::thread closer([&] {
        if (downloadtest::AskFaultServer(L"arrived?name=" + gate)) {
            DWORD_PTR result = 0;
            closedDuringTheTry = ::SendMessageTimeoutW(target, WM_CLOSE, 0, 0, SMTO_NORMAL, 20000, &result) != 0;
        }
        downloadtest::AskFaultServer(L"open?name=" + gate);
    });
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Server("fault") + L"hold?name=" + gate + L"&code=404", temp / L"x", attempts, false));
    closer.join();
    EXPECT_TRUE(closedDuringTheTry) << "the caller did not pump while the try ran";
    EXPECT_TRUE(window.closeRequested);
    EXPECT_EQ(Tries(attempts), L"WinHTTP=HTTP status 404");
}

} // namespace

// The download ladder as its callers see it: attempts, log lines, the
// temporary file and the destination.
#include <windows.h>

#include <gtest/gtest.h>

#include "DownloadTestSupport.h"
#include "zip/ZipPackage.h"

namespace {

using downloadtest::DownloaderFixture;
using downloadtest::DownloadMessages;
using downloadtest::Servers;
using downloadtest::Watchdog;
using orv::DownloadAttempt;
using orv::DownloaderTestAccess;

const wchar_t* const kLadder[] = {L"WinHTTP", L"WinINet", L"URLMon"};

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string ServedFile(const std::wstring& name)
{
    return ReadTestFile(JoinPath(Servers().docroot, name));
}

// "FILE:///C:/a%20b/c.txt" for C:\a b\c.txt, written out by hand so the test
// does not lean on the conversion it checks.
std::wstring CapitalFileUrl(const std::wstring& path)
{
    std::wstring url = L"FILE:///";
    for (wchar_t c : path) {
        if (c == L'\\') {
            url += L'/';
        } else if (c == L' ') {
            url += L"%20";
        } else {
            url += c;
        }
    }
    return url;
}

class DownloadDriverTest : public DownloaderFixture {
protected:
    // Every try of one download must be in the log, in order, as one line.
    void ExpectLoggedAsAttempts(const std::vector<DownloadAttempt>& attempts)
    {
        const std::vector<std::wstring> lines = DownloadMessages(log.path);
        ASSERT_EQ(lines.size(), attempts.size());
        for (size_t i = 0; i < attempts.size(); ++i) {
            const DownloadAttempt& a = attempts[i];
            const std::wstring expected =
                a.result == L"PASS" ? L"Download PASS | Backend=" + a.backend + L" | URL=" + a.url
                                    : L"Download FAIL | Backend=" + a.backend + L" | URL=" + a.url + L" | Error=" + a.result;
            EXPECT_EQ(lines[i], expected);
        }
    }
};

TEST_F(DownloadDriverTest, FirstBackendDeliversIntoNewFoldersOverHttpAndHttps)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    std::vector<DownloadAttempt> attempts{{L"earlier", L"Other", L"kept"}};
    const std::wstring urls[] = {Servers().http + L"updater.xml", Servers().https + L"updater.xml"};
    for (const std::wstring& url : urls) {
        const std::wstring dest = Dest(L"manifest\\deeper\\updater.xml");
        ASSERT_TRUE(downloader.Download(url, dest, attempts, false)) << url;
        EXPECT_TRUE(ReadTestFile(dest) == ServedFile(L"updater.xml"));
        EXPECT_FALSE(FileExists(dest + L".part"));
    }
    // The caller's earlier entry stays; each download adds exactly its try.
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_EQ(attempts[0].result, L"kept");
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(attempts[i].url, urls[i - 1]);
        EXPECT_EQ(attempts[i].backend, L"WinHTTP");
        EXPECT_EQ(attempts[i].result, L"PASS");
    }
    ExpectLoggedAsAttempts({attempts[1], attempts[2]});
}

TEST_F(DownloadDriverTest, RefusedConnectionTriesEveryBackendOnceAndKeepsTheOldFile)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring dest = Dest(L"updater.xml");
    WriteTestFile(dest, "previous manifest");
    const std::wstring url = Servers().refused + L"updater.xml";
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(url, dest, attempts, false));

    ASSERT_EQ(attempts.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(attempts[i].url, url);
        EXPECT_EQ(attempts[i].backend, kLadder[i]);
    }
    EXPECT_NE(attempts[0].result.find(L"(Win32 12029)"), std::wstring::npos) << attempts[0].result;
    EXPECT_NE(attempts[1].result.find(L"(Win32 12029)"), std::wstring::npos) << attempts[1].result;
    EXPECT_TRUE(StartsWith(attempts[2].result, L"URLDownloadToFile failed (HRESULT 0x")) << attempts[2].result;
    ExpectLoggedAsAttempts(attempts);

    EXPECT_EQ(ReadTestFile(dest), "previous manifest");
    EXPECT_FALSE(FileExists(dest + L".part"));
}

TEST_F(DownloadDriverTest, EmptyAnswerIsAFailureOfEveryBackend)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring dest = Dest(L"updater.xml");
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Servers().fault + L"empty", dest, attempts, false));
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_EQ(attempts[0].result, L"Server returned an empty response.");
    EXPECT_EQ(attempts[1].result, L"Server returned an empty response.");
    EXPECT_EQ(attempts[2].result, L"URLMon created an empty response.");
    EXPECT_FALSE(FileExists(dest));
    EXPECT_FALSE(FileExists(dest + L".part"));
}

TEST_F(DownloadDriverTest, PackageIsValidatedBeforeItReplacesTheDestination)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring dest = Dest(L"downloads\\Orvw_Lum.zip");
    std::vector<DownloadAttempt> attempts;
    ASSERT_TRUE(downloader.Download(Servers().http + L"package.zip", dest, attempts, true));
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].result, L"PASS");
    EXPECT_TRUE(ReadTestFile(dest) == ServedFile(L"package.zip"));
    EXPECT_FALSE(FileExists(dest + L".part"));
}

TEST_F(DownloadDriverTest, BodyThatIsNoZipFailsValidationOnEveryBackend)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring dest = Dest(L"Orvw_Lum.zip");
    WriteTestFile(dest, "previous package");
    std::wstring validatorText;
    ASSERT_FALSE(ValidateZipPackage(JoinPath(Servers().docroot, L"hello.txt"), validatorText));

    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Servers().http + L"hello.txt", dest, attempts, true));
    ASSERT_EQ(attempts.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(attempts[i].backend, kLadder[i]);
        EXPECT_EQ(attempts[i].result, L"ZIP validation failed: " + validatorText);
    }
    EXPECT_EQ(ReadTestFile(dest), "previous package");
    EXPECT_FALSE(FileExists(dest + L".part"));
}

TEST_F(DownloadDriverTest, NotFoundPageNeverBecomesThePackage)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring dest = Dest(L"Orvw_Lum.zip");
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Servers().http + L"missing.zip", dest, attempts, true));
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_EQ(attempts[0].result, L"HTTP status 404");
    EXPECT_EQ(attempts[1].result, L"HTTP status 404");
    // URLMon either refuses the 404 itself or saves the error page, which
    // then fails validation.
    EXPECT_TRUE(StartsWith(attempts[2].result, L"URLDownloadToFile failed (HRESULT 0x") ||
                StartsWith(attempts[2].result, L"ZIP validation failed: "))
        << attempts[2].result;
    EXPECT_FALSE(FileExists(dest));
    EXPECT_FALSE(FileExists(dest + L".part"));
}

TEST_F(DownloadDriverTest, LockedDestinationFailsEachTryWithTheMoveError)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    const std::wstring dest = Dest(L"updater.xml");
    WriteTestFile(dest, "held open");
    std::vector<DownloadAttempt> attempts;
    {
        UniqueFile holder(::CreateFileW(dest.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.Valid());
        EXPECT_FALSE(downloader.Download(Servers().http + L"updater.xml", dest, attempts, false));
    }
    // Each backend downloaded again and failed at the same final step.
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_NE(attempts[0].result.find(L"(Win32 "), std::wstring::npos) << attempts[0].result;
    EXPECT_EQ(attempts[1].result, attempts[0].result);
    EXPECT_EQ(attempts[2].result, attempts[0].result);
    EXPECT_EQ(ReadTestFile(dest), "held open");
    EXPECT_FALSE(FileExists(dest + L".part"));
}

TEST_F(DownloadDriverTest, BadUrlsEndEveryTryWithAnErrorAndTouchNothing)
{
    REQUIRE_SERVERS();
    const std::wstring dest = Dest(L"updater.xml");
    WriteTestFile(dest, "untouched");
    // Wine's URLMon never returns for gopher:// and ftp://, so the unknown
    // scheme here is one no system knows.
    const std::wstring urls[] = {
        L"orvtest://127.0.0.1/updater.xml",
        L"http://",
        L"no scheme here",
        L"",
        L"http://127.0.0.1:99999/updater.xml",
        L"http://[::1/updater.xml",
    };
    for (const std::wstring& url : urls) {
        Watchdog dog;
        std::vector<DownloadAttempt> attempts;
        EXPECT_FALSE(downloader.Download(url, dest, attempts, false)) << url;
        ASSERT_EQ(attempts.size(), 3u) << url;
        for (const DownloadAttempt& a : attempts) {
            EXPECT_NE(a.result, L"PASS") << url;
            EXPECT_FALSE(a.result.empty()) << url << L" " << a.backend;
        }
        EXPECT_EQ(ReadTestFile(dest), "untouched") << url;
        EXPECT_FALSE(FileExists(dest + L".part")) << url;
    }
}

TEST_F(DownloadDriverTest, CloseRequestedBeforehandStartsNoTry)
{
    REQUIRE_SERVERS();
    window.closeRequested = true;
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(Servers().http + L"updater.xml", Dest(L"updater.xml"), attempts, false));
    EXPECT_TRUE(attempts.empty());
    EXPECT_TRUE(DownloadMessages(log.path).empty());
    EXPECT_FALSE(FileExists(Dest(L"updater.xml")));
}

// --- file:// URLs ------------------------------------------------------------

TEST_F(DownloadDriverTest, CapitalFileUrlWithEscapedBlanksIsCopiedWithoutNetwork)
{
    const std::wstring source = temp / L"source dir\\pkg file.zip";
    const std::string body = downloadtest::PatternBytes(200000);
    WriteTestFile(source, body);
    const std::wstring url = CapitalFileUrl(source);
    const std::wstring dest = Dest(L"downloads\\copy.zip");
    std::vector<DownloadAttempt> attempts;
    ASSERT_TRUE(downloader.Download(url, dest, attempts, false));
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].url, url);
    EXPECT_EQ(attempts[0].backend, L"LocalFile");
    EXPECT_EQ(attempts[0].result, L"PASS");
    EXPECT_TRUE(ReadTestFile(dest) == body);
    EXPECT_FALSE(FileExists(dest + L".part"));
    ExpectLoggedAsAttempts(attempts);
}

TEST_F(DownloadDriverTest, MissingLocalFileFailsOnceAndTriesNoNetworkBackend)
{
    const std::wstring url = CapitalFileUrl(temp / L"nowhere\\missing.zip");
    const std::wstring dest = Dest(L"copy.zip");
    WriteTestFile(dest, "old copy");
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(url, dest, attempts, false));
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].backend, L"LocalFile");
    EXPECT_NE(attempts[0].result.find(L"(Win32 "), std::wstring::npos) << attempts[0].result;
    ExpectLoggedAsAttempts(attempts);
    EXPECT_EQ(ReadTestFile(dest), "old copy");
}

TEST_F(DownloadDriverTest, LocalBackendReportsTheWholeSizeAndRejectsOtherSchemes)
{
    const std::wstring source = temp / L"a b.bin";
    WriteTestFile(source, downloadtest::PatternBytes(70000));
    const std::wstring part = temp / L"out\\a.part";
    std::wstring error;
    ASSERT_TRUE(DownloaderTestAccess::LocalFile(downloader, CapitalFileUrl(source), part, error)) << error;
    EXPECT_EQ(DownloaderTestAccess::Received(downloader), 70000);
    EXPECT_EQ(DownloaderTestAccess::Total(downloader), 70000);
    EXPECT_TRUE(ReadTestFile(part) == downloadtest::PatternBytes(70000));

    for (const wchar_t* url : {L"http://127.0.0.1/x.zip", L"C:\\plain\\path.zip", L""}) {
        error.clear();
        EXPECT_FALSE(DownloaderTestAccess::LocalFile(downloader, url, temp / L"other.part", error)) << url;
        EXPECT_EQ(error, L"Invalid file URL.") << url;
    }
}

// --- the finishing step --------------------------------------------------------

class FinishDownloadTest : public ::testing::Test {
protected:
    TempDir temp;
    const std::wstring part = temp / L"pkg.zip.part";
    const std::wstring dest = temp / L"pkg.zip";
};

TEST_F(FinishDownloadTest, MissingEmptyOrFolderBodyIsRejected)
{
    WriteTestFile(dest, "old");
    std::wstring error;
    EXPECT_FALSE(orv::FinishDownload(part, dest, false, error));
    EXPECT_EQ(error, L"Downloaded file is missing or empty.");

    WriteTestFile(part, "");
    error.clear();
    EXPECT_FALSE(orv::FinishDownload(part, dest, false, error));
    EXPECT_EQ(error, L"Downloaded file is missing or empty.");

    DeleteFileIfPresent(part);
    ASSERT_TRUE(CreateDirectories(part + L"\\inner"));
    error.clear();
    EXPECT_FALSE(orv::FinishDownload(part, dest, false, error));
    EXPECT_EQ(error, L"Downloaded file is missing or empty.");
    EXPECT_EQ(ReadTestFile(dest), "old");
}

TEST_F(FinishDownloadTest, MovesTheBodyOverTheOldFile)
{
    WriteTestFile(dest, "old contents, longer than the new ones");
    WriteTestFile(part, "new");
    std::wstring error;
    ASSERT_TRUE(orv::FinishDownload(part, dest, false, error)) << error;
    EXPECT_EQ(ReadTestFile(dest), "new");
    EXPECT_FALSE(FileExists(part));
}

TEST_F(FinishDownloadTest, InvalidPackageKeepsTheValidatorsReason)
{
    WriteTestFile(dest, "old");
    WriteTestFile(part, "this is no zip archive");
    std::wstring validatorText;
    ASSERT_FALSE(ValidateZipPackage(part, validatorText));
    ASSERT_FALSE(validatorText.empty());

    std::wstring error;
    EXPECT_FALSE(orv::FinishDownload(part, dest, true, error));
    EXPECT_EQ(error, L"ZIP validation failed: " + validatorText);
    EXPECT_EQ(ReadTestFile(dest), "old");

    // Without validation the same body is accepted as it is.
    error.clear();
    EXPECT_TRUE(orv::FinishDownload(part, dest, false, error)) << error;
    EXPECT_EQ(ReadTestFile(dest), "this is no zip archive");
}

TEST_F(FinishDownloadTest, FailedMoveReportsTheSystemErrorAndKeepsTheBody)
{
    ASSERT_TRUE(CreateDirectories(dest + L"\\occupied"));
    WriteTestFile(part, "new");
    std::wstring error;
    EXPECT_FALSE(orv::FinishDownload(part, dest, false, error));
    EXPECT_NE(error.find(L"(Win32 "), std::wstring::npos) << error;
    EXPECT_EQ(ReadTestFile(part), "new");
    EXPECT_TRUE(DirectoryExists(dest + L"\\occupied"));
}

// --- the worker thread ---------------------------------------------------------

TEST_F(DownloadDriverTest, EachTryRunsOnItsOwnThreadWithFreshCounters)
{
    DownloaderTestAccess::StoreProgress(downloader, 99, 99);
    const DWORD caller = ::GetCurrentThreadId();
    for (const bool outcome : {true, false}) {
        DWORD worker = caller;
        int32_t receivedAtStart = -1;
        int32_t totalAtStart = -1;
        const bool result = DownloaderTestAccess::RunAttempt(downloader, [&]() {
            worker = ::GetCurrentThreadId();
            receivedAtStart = DownloaderTestAccess::Received(downloader);
            totalAtStart = DownloaderTestAccess::Total(downloader);
            DownloaderTestAccess::StoreProgress(downloader, 5, 10);
            ::Sleep(120);
            return outcome;
        });
        EXPECT_EQ(result, outcome);
        EXPECT_NE(worker, caller);
        EXPECT_EQ(receivedAtStart, 0);
        EXPECT_EQ(totalAtStart, 0);
    }
}

// With a real window: the waiting thread must keep pumping its messages.
class VisibleWindowTest : public ::testing::Test {
protected:
    VisibleWindowTest() : window(false), downloader(log, window) { log.Open(temp.Path()); }
    void SetUp() override { ASSERT_TRUE(window.Create()) << "no progress window (is there a display?)"; }
    void TearDown() override { window.Close(); }

    std::wstring DownloadLine() const
    {
        wchar_t text[256] = {};
        ::GetWindowTextW(window.downloadText, text, 256);
        return text;
    }

    TempDir temp;
    TraceLog log;
    ProgressWindow window;
    orv::Downloader downloader;
};

TEST_F(VisibleWindowTest, QuitSeenWhileWaitingSetsCloseRequestedAndTheOutcomeIsShown)
{
    const DWORD caller = ::GetCurrentThreadId();
    const bool result = DownloaderTestAccess::RunAttempt(downloader, [caller]() {
        ::PostThreadMessageW(caller, WM_QUIT, 0, 0);
        ::Sleep(300);
        return false;
    });
    EXPECT_FALSE(result);
    EXPECT_TRUE(window.closeRequested) << "the caller did not pump while the try ran";
    EXPECT_EQ(DownloadLine(), L"Download attempt failed; trying next method...");

    EXPECT_TRUE(DownloaderTestAccess::RunAttempt(downloader, []() { return true; }));
    EXPECT_EQ(DownloadLine(), L"Download completed.");
}

TEST_F(VisibleWindowTest, ClosingTheWindowDuringTheFirstTryLetsItFinishAndStops)
{
    REQUIRE_SERVERS();
    Watchdog dog;
    // The server answers 404 only after a pause; the window is closed in it.
    const std::wstring url = Servers().fault + L"slow-status?ms=1500&code=404";
    const HWND target = window.window;
    UniqueHandle closer(::CreateThread(
        nullptr, 0,
        [](LPVOID hwnd) -> DWORD {
            ::Sleep(400);
            ::PostMessageW(static_cast<HWND>(hwnd), WM_CLOSE, 0, 0);
            return 0;
        },
        target, 0, nullptr));
    ASSERT_TRUE(closer.Valid());
    std::vector<DownloadAttempt> attempts;
    EXPECT_FALSE(downloader.Download(url, temp / L"updater.xml", attempts, false));
    ::WaitForSingleObject(closer.Get(), INFINITE);

    EXPECT_TRUE(window.closeRequested);
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].backend, L"WinHTTP");
    EXPECT_EQ(attempts[0].result, L"HTTP status 404") << "the first try was cut short";
    EXPECT_EQ(DownloadMessages(log.path).size(), 1u);
}

} // namespace

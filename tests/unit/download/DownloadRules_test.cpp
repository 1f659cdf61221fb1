#include <gtest/gtest.h>

#include <cstdint>

#include "download/DownloadRules.h"
#include "DownloadTestSupport.h"

namespace {

using downloadtest::DownloaderFixture;
using orv::DownloaderTestAccess;

TEST(DownloadRulesTest, ProgressCountsAreClampedToTheSigned32BitMaximum)
{
    const std::pair<uint64_t, int32_t> cases[] = {
        {0, 0},
        {1, 1},
        {65536, 65536},
        {2147483646ull, 2147483646},
        {2147483647ull, 2147483647},
        {2147483648ull, 2147483647},
        {4294967295ull, 2147483647},
        // Would wrap to 5 if the count were merely truncated to 32 bits.
        {4294967301ull, 2147483647},
        {5000000000ull, 2147483647},
        {UINT64_MAX, 2147483647},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orv::ClampProgressCount(c.first), c.second) << c.first;
    }
}

TEST_F(DownloaderFixture, StoredProgressIsClampedAndKeepsReceivedAndTotalApart)
{
    DownloaderTestAccess::StoreProgress(downloader, 123, 4567);
    EXPECT_EQ(DownloaderTestAccess::Received(downloader), 123);
    EXPECT_EQ(DownloaderTestAccess::Total(downloader), 4567);

    DownloaderTestAccess::StoreProgress(downloader, 3000000000ull, 6000000000ull);
    EXPECT_EQ(DownloaderTestAccess::Received(downloader), 2147483647);
    EXPECT_EQ(DownloaderTestAccess::Total(downloader), 2147483647);

    DownloaderTestAccess::StoreProgress(downloader, 10, 0);
    EXPECT_EQ(DownloaderTestAccess::Received(downloader), 10);
    EXPECT_EQ(DownloaderTestAccess::Total(downloader), 0);
}

TEST(DownloadRulesTest, OnlyFileSchemeUrlsInAnyLetterCaseAreLocal)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"file:///C:/x.zip", true},
        {L"FILE:///C:/x.zip", true},
        {L"File://server/share/x.zip", true},
        {L"fIlE://", true},
        {L"file:/C:/x.zip", false},
        {L"file:C:/x.zip", false},
        {L"files://x", false},
        {L" file:///C:/x.zip", false},
        {L"http://host/file:///x", false},
        {L"https://host/x", false},
        {L"fil", false},
        {L"", false},
        // Look-alike letters of other scripts are not the scheme.
        {L"f\u0131le:///C:/x", false},
        {L"\u0444ile:///C:/x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orv::IsFileUrl(c.first), c.second) << c.first;
    }
}

TEST(DownloadRulesTest, RequestPathJoinsPathAndQueryAndDefaultsToRoot)
{
    EXPECT_EQ(orv::RequestPathOf(L"", L""), L"/");
    EXPECT_EQ(orv::RequestPathOf(L"/fl/updater.xml", L""), L"/fl/updater.xml");
    EXPECT_EQ(orv::RequestPathOf(L"/a", L"?x=1&y=2"), L"/a?x=1&y=2");
}

TEST(DownloadRulesTest, OnlyTwoHundredsAreSuccess)
{
    const std::pair<uint32_t, bool> cases[] = {
        {0, false},   {100, false}, {199, false}, {200, true},  {204, true},
        {206, true},  {299, true},  {300, false}, {304, false}, {404, false},
        {500, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orv::IsSuccessStatus(c.first), c.second) << c.first;
    }
}

TEST(DownloadRulesTest, UrlMonFailureCarriesEightUpperCaseHexDigits)
{
    const std::pair<uint32_t, const wchar_t*> cases[] = {
        {0x800C0008u, L"URLDownloadToFile failed (HRESULT 0x800C0008)"},
        {0x800c0019u, L"URLDownloadToFile failed (HRESULT 0x800C0019)"},
        {0x00000001u, L"URLDownloadToFile failed (HRESULT 0x00000001)"},
        {0x00ABCDEFu, L"URLDownloadToFile failed (HRESULT 0x00ABCDEF)"},
        {0xFFFFFFFFu, L"URLDownloadToFile failed (HRESULT 0xFFFFFFFF)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orv::UrlMonFailureText(c.first), c.second);
    }
}

TEST(DownloadRulesTest, AttemptLogMessagesNameBackendUrlAndError)
{
    EXPECT_EQ(orv::AttemptLogMessage(true, L"WinHTTP", L"http://h/updater.xml", L"ignored"),
              L"Download PASS | Backend=WinHTTP | URL=http://h/updater.xml");
    EXPECT_EQ(orv::AttemptLogMessage(false, L"URLMon", L"http://h/a.zip", L"HTTP status 404"),
              L"Download FAIL | Backend=URLMon | URL=http://h/a.zip | Error=HTTP status 404");
    EXPECT_EQ(orv::AttemptLogMessage(false, L"LocalFile", L"file:///C:/a.zip", L""),
              L"Download FAIL | Backend=LocalFile | URL=file:///C:/a.zip | Error=");
}

} // namespace

#include <gtest/gtest.h>

#include <cstdint>

#include "download/DownloadRules.h"

namespace {

TEST(DownloadRulesTest, ProgressCountsAreClampedToTheSigned32BitMaximum)
{
    const std::pair<uint64_t, int32_t> cases[] = {
        {0, 0}, {2147483646ull, 2147483646}, {2147483647ull, 2147483647}, {2147483648ull, 2147483647},
        // Would wrap to 5 if the count were merely truncated to 32 bits.
        {4294967301ull, 2147483647}, {UINT64_MAX, 2147483647},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orv::ClampProgressCount(c.first), c.second) << c.first;
    }
}

TEST(DownloadRulesTest, OnlyTheFileSchemeInAnyAsciiCaseIsLocal)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"FILE:///C:/x.zip", true}, {L"fIlE://", true},   {L"file:/C:/x.zip", false}, {L" file:///C:/x", false},
        {L"http://h/file:///x", false}, {L"fil", false},   {L"", false},
        // Look-alike letters of other scripts are not the scheme.
        {L"f\u0131le:///C:/x", false}, {L"\u0444ile:///C:/x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orv::IsFileUrl(c.first), c.second) << c.first;
    }
}

} // namespace

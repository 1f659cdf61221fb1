#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "manifest/Version.h"

using namespace orv;

TEST(VersionTest, ParsesDecimalComponentsAndComparesWithZeroExtensionAndInvalidSidesAsOlder)
{
    const std::pair<std::wstring, std::vector<uint64_t>> cases[] = {
        {L"27.0.0.4", {27, 0, 0, 4}}, {L"007.010", {7, 10}}, {L"1.2.3.4.5", {1, 2, 3, 4, 5}},
        // Wide white space beyond ASCII is trimmed too, but never inside.
        {L"\t\r\n\u30001.2\u00a0\u2028", {1, 2}}, {L"1.2\u00a0.3", {}},
        {L"18446744073709551615", {UINT64_MAX}}, {L"00000000000000000000018446744073709551615", {UINT64_MAX}},
        {L"18446744073709551616", {}}, {L"1.184467440737095516150", {}},
        {L"", {}}, {L"   ", {}}, {L".", {}}, {L"1.", {}}, {L".1", {}}, {L"1..2", {}}, {L"1. 2", {}}, {L"1 2", {}},
        {L"1.2a", {}}, {L"v1.2", {}}, {L"-1", {}}, {L"+1", {}}, {L"1,2", {}}, {L"0x10", {}},
        // Full-width and Arabic-Indic digits are digits to the system but not to versions.
        {L"\uff11.2", {}}, {L"1.\u0662", {}}, {std::wstring(L"1.2\0" L"3", 5), {}},
    };
    for (const auto& c : cases) {
        std::vector<uint64_t> components{99};
        EXPECT_EQ(ParseVersion(c.first, components), !c.second.empty()) << c.first;
        EXPECT_EQ(components, c.second) << c.first;
    }
    const std::tuple<const wchar_t*, const wchar_t*, int, bool> comparisons[] = {
        {L"1.2.3", L"1.2.4", -1, true}, {L"1.10", L"1.9", 1, true},     {L"1.02", L"1.2", 0, true},
        {L"1.2", L"1.2.0.0", 0, true},  {L"1.2", L"1.2.0.1", -1, true}, {L"2", L"1.9.9.9", 1, true},
        {L" 3.1 ", L"3.1.0", 0, true},  {L"18446744073709551615", L"18446744073709551614", 1, true},
        {L"1.0", L"abc", -1, false},    {L"abc", L"1.0", -1, false},    {L"", L"", -1, false}, {L"9", L"", -1, false},
    };
    for (const auto& c : comparisons) {
        bool bothValid = !std::get<3>(c);
        EXPECT_EQ(CompareVersions(std::get<0>(c), std::get<1>(c), &bothValid), std::get<2>(c)) << std::get<0>(c);
        EXPECT_EQ(bothValid, std::get<3>(c)) << std::get<0>(c) << L" vs " << std::get<1>(c);
    }
}

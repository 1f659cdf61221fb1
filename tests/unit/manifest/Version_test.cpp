#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "manifest/Version.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

TEST(VersionTest, ParsesDecimalComponentsAndRejectsEverythingElseWithAnEmptyList)
{
    const struct {
        std::wstring text;
        std::vector<uint64_t> components; // empty: rejected
    } cases[] = {
        {L"27.0.0.4", {27, 0, 0, 4}},
        {L"007.010", {7, 10}},
        {L"1.2.3.4.5", {1, 2, 3, 4, 5}},
        // Wide white space beyond ASCII is trimmed too, but never inside.
        {L"\t\r\n\u30001.2\u00a0\u2028", {1, 2}},
        {L"18446744073709551615", {UINT64_MAX}},
        {L"00000000000000000000018446744073709551615", {UINT64_MAX}},
        {L"18446744073709551616", {}},
        {L"1.184467440737095516150", {}},
        {L"", {}}, {L"   ", {}}, {L".", {}}, {L"1.", {}}, {L".1", {}}, {L"1..2", {}}, {L"1. 2", {}},
        {L"1 2", {}}, {L"1.2a", {}}, {L"v1.2", {}}, {L"-1", {}}, {L"+1", {}}, {L"1,2", {}}, {L"0x10", {}},
        {L"1.2\u00a0.3", {}},
        // Full-width and Arabic-Indic digits are digits to the system but not to versions.
        {L"\uff11.2", {}}, {L"1.\u0662", {}},
        {std::wstring(L"1.2\0" L"3", 5), {}},
    };
    for (const auto& c : cases) {
        std::vector<uint64_t> components{99};
        EXPECT_EQ(ParseVersion(c.text, components), !c.components.empty()) << c.text;
        EXPECT_EQ(components, c.components) << c.text;
    }
}

TEST(VersionTest, ComparesNumericallyWithZeroExtensionAndInvalidSidesAsOlder)
{
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
        bool bothValid;
    } cases[] = {
        {L"1.2.3", L"1.2.4", -1, true}, {L"1.10", L"1.9", 1, true},           {L"1.02", L"1.2", 0, true},
        {L"1.2", L"1.2.0.0", 0, true},  {L"1.2", L"1.2.0.1", -1, true},       {L"2", L"1.9.9.9", 1, true},
        {L" 3.1 ", L"3.1.0", 0, true},  {L"18446744073709551615", L"18446744073709551614", 1, true},
        {L"1.0", L"abc", -1, false},    {L"abc", L"1.0", -1, false},          {L"", L"", -1, false},
        {L"9", L"", -1, false},
    };
    for (const auto& c : cases) {
        bool bothValid = !c.bothValid;
        EXPECT_EQ(CompareVersions(c.a, c.b, &bothValid), c.expected) << c.a << L" vs " << c.b;
        EXPECT_EQ(bothValid, c.bothValid) << c.a << L" vs " << c.b;
    }
}

TEST(VersionTest, FileVersionComesFromTheResourceOrIsEmpty)
{
    TempDir dir;
    WriteTestFile(dir / L"data.mdb", std::string(4096, '\0'));
    WriteTestFile(dir / L"fake.exe", "MZ this is not a portable executable");
    CreateDirectories(dir / L"folder.dll");
    const std::pair<std::wstring, const wchar_t*> cases[] = {
        {TestFixturePath(L"VersionStamp110.dll"), L"1.1.0.0"},
        // The file version, not the product version (9.8.7.6), each 16-bit half in its place.
        {TestFixturePath(L"VersionStampSplit.dll"), L"65535.0.300.7"},
        {TestEnvPath("ORV_TEST_EXE"), L"27.0.0.4"},
        {dir / L"data.mdb", L""}, {dir / L"fake.exe", L""}, {dir / L"folder.dll", L""}, {dir / L"missing.dll", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetFileVersionText(c.first), c.second) << c.first;
    }
}

} // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/Version.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

struct ParseCase {
    const wchar_t* text;
    bool valid;
    std::vector<uint64_t> components;
};

TEST(ParseVersionTest, AcceptsDecimalComponentsAroundTrimmedWhiteSpace)
{
    const ParseCase cases[] = {
        {L"27.0.0.4", true, {27, 0, 0, 4}},
        {L"5", true, {5}},
        {L"1.2", true, {1, 2}},
        {L"1.2.3.4.5", true, {1, 2, 3, 4, 5}},
        {L"007.010", true, {7, 10}},
        {L"0.0.0.0", true, {0, 0, 0, 0}},
        {L" 1.2.3 ", true, {1, 2, 3}},
        {L"\t\r\n\v\f1.2\r\n", true, {1, 2}},
        // Wide white space beyond ASCII belongs to the same class.
        {L"\u30001.2\u00a0\u2028", true, {1, 2}},
        {L"18446744073709551615", true, {UINT64_MAX}},
        {L"1.18446744073709551615.0", true, {1, UINT64_MAX, 0}},
        {L"00000000000000000000018446744073709551615", true, {UINT64_MAX}},
        {L"18446744073709551614", true, {UINT64_MAX - 1}},
        {L"1844674407370955161", true, {1844674407370955161ULL}},
    };
    for (const ParseCase& c : cases) {
        std::vector<uint64_t> components{99};
        EXPECT_EQ(ParseVersion(c.text, components), c.valid) << c.text;
        EXPECT_EQ(components, c.components) << c.text;
    }
}

TEST(ParseVersionTest, RejectsEveryMalformedTextWithAnEmptyList)
{
    const wchar_t* const cases[] = {
        L"", L"   ", L"\r\n\t", L".", L"1.", L".1", L"1..2", L"1.2.", L"1. 2", L"1 .2", L"1 2", L"1.2a", L"a1.2",
        L"v1.2", L"-1", L"+1", L"1.-2", L"1:2", L"1,2", L"0x10", L"1.2\u00a0.3",
        // Full-width and Arabic-Indic digits are digits to the system but not to versions.
        L"\uff11.2", L"1.\u0662",
        // One more than the largest 64-bit component, and far beyond it.
        L"18446744073709551616", L"18446744073709551620", L"99999999999999999999", L"1.18446744073709551616",
        L"184467440737095516150",
    };
    for (const wchar_t* text : cases) {
        std::vector<uint64_t> components{7, 7};
        EXPECT_FALSE(ParseVersion(text, components)) << text;
        EXPECT_TRUE(components.empty()) << text;
    }
    // A NUL inside the text is not a digit either.
    std::vector<uint64_t> components;
    EXPECT_FALSE(ParseVersion(std::wstring(L"1.2\0" L"3", 5), components));
}

struct CompareCase {
    const wchar_t* a;
    const wchar_t* b;
    int expected;
    bool bothValid;
};

TEST(CompareVersionsTest, OrdersNumericallyWithZeroExtension)
{
    const CompareCase cases[] = {
        {L"1.2.3", L"1.2.4", -1, true},
        {L"1.2.4", L"1.2.3", 1, true},
        {L"1.10", L"1.9", 1, true},
        {L"1.9", L"1.10", -1, true},
        {L"1.02", L"1.2", 0, true},
        {L"1.2", L"1.2.0.0", 0, true},
        {L"1.2.0", L"1.2", 0, true},
        {L"1.2", L"1.2.0.1", -1, true},
        {L"1.2.0.1", L"1.2", 1, true},
        {L"2", L"1.9.9.9", 1, true},
        {L"27.0", L"26.9.9.9", 1, true},
        {L"0.0.0.0", L"0", 0, true},
        {L"0.0.0.0", L"0.0.0.1", -1, true},
        {L" 3.1 ", L"3.1.0", 0, true},
        {L"18446744073709551615", L"18446744073709551614", 1, true},
        {L"1.18446744073709551615", L"2", -1, true},
        // Invalid on either side: the left counts as older and the flag says why.
        {L"1.0", L"abc", -1, false},
        {L"abc", L"1.0", -1, false},
        {L"", L"", -1, false},
        {L"", L"0", -1, false},
        {L"9", L"", -1, false},
        {L"18446744073709551616", L"1", -1, false},
        {L"1.", L"1", -1, false},
    };
    for (const CompareCase& c : cases) {
        bool bothValid = !c.bothValid;
        EXPECT_EQ(CompareVersions(c.a, c.b, &bothValid), c.expected) << c.a << L" vs " << c.b;
        EXPECT_EQ(bothValid, c.bothValid) << c.a << L" vs " << c.b;
        // The flag is optional.
        EXPECT_EQ(CompareVersions(c.a, c.b), c.expected) << c.a << L" vs " << c.b;
    }
}

TEST(GetFileVersionTextTest, ReadsTheFileVersionOfStampedLibraries)
{
    EXPECT_EQ(GetFileVersionText(TestFixturePath(L"VersionStamp110.dll")), L"1.1.0.0");
    EXPECT_EQ(GetFileVersionText(TestFixturePath(L"VersionStamp120.dll")), L"1.2.0.0");
    // The file version, not the product version (9.8.7.6), with each 16-bit
    // half in its own place.
    EXPECT_EQ(GetFileVersionText(TestFixturePath(L"VersionStampSplit.dll")), L"65535.0.300.7");
}

TEST(GetFileVersionTextTest, ReadsTheProgramAndASystemLibrary)
{
    const std::wstring exe = TestEnvPath("ORV_TEST_EXE");
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(GetFileVersionText(exe), L"27.0.0.4");

    const std::wstring system = GetFileVersionText(L"C:\\windows\\system32\\kernel32.dll");
    bool bothValid = false;
    EXPECT_EQ(CompareVersions(system, L"0.0.0.0", &bothValid), 1) << system;
    EXPECT_TRUE(bothValid) << system;
    EXPECT_EQ(std::count(system.begin(), system.end(), L'.'), 3) << system;
}

TEST(GetFileVersionTextTest, FilesWithoutAResourceGiveAnEmptyText)
{
    TempDir dir;
    WriteTestFile(dir / L"settings.json", "{\"a\": 1}\n");
    WriteTestFile(dir / L"data.mdb", std::string(4096, '\0'));
    WriteTestFile(dir / L"empty.dll", "");
    // Looks like an executable to the extension, but is not one.
    WriteTestFile(dir / L"fake.exe", "MZ this is not a portable executable");
    CreateDirectories(dir / L"folder.dll");
    const wchar_t* const names[] = {L"settings.json", L"data.mdb", L"empty.dll", L"fake.exe", L"folder.dll",
                                    L"missing.dll"};
    for (const wchar_t* name : names) {
        EXPECT_EQ(GetFileVersionText(dir / name), L"") << name;
    }
    EXPECT_EQ(GetFileVersionText(L""), L"");
}

} // namespace

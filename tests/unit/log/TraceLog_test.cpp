#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "platform/ProgramInfo.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::string> Lines(const std::wstring& path)
{
    const std::string text = ReadTestFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// level | Seq=n | YYYY-MM-DD HH:MM:SS.mmm | message
const std::regex kLineShape(R"(^(INFO|WARN|FAIL) \| Seq=([1-9][0-9]*) \| (\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \| (.*)$)");

std::string Message(const std::string& line)
{
    std::smatch m;
    return std::regex_match(line, m, kLineShape) ? m[10].str() : "<bad line: " + line + ">";
}

class ThrowingWhat : public std::exception {
public:
    const char* what() const noexcept override { return nullptr; }
};

TEST(TraceLogTest, OpenWritesTheSessionStartLine)
{
    TempDir dir;
    TraceLog log;
    log.Open(dir.Path());
    EXPECT_EQ(log.path, dir / L"updater-w7-trace.log");
    const auto lines = Lines(log.path);
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLineShape)) << lines[0];
    EXPECT_EQ(m[1], "INFO");
    EXPECT_EQ(m[2], "1");
    EXPECT_EQ(m[10], "Session start | Version=27.0.0.4 | Executable=" + WideToUtf8(GetModulePath()));
    EXPECT_EQ(std::wstring(kProgramVersion), L"27.0.0.4");
}

TEST(TraceLogTest, LevelsSequenceAndAppendingRuns)
{
    TempDir dir;
    {
        TraceLog log;
        log.Open(dir.Path());
        log.Info(L"Download PASS | Backend=WinHTTP | URL=http://x/");
        log.Warn(L"degraded");
        log.Fail(L"broken | Error=x");
        EXPECT_EQ(log.sequence, 4u);
    }
    TraceLog second;
    second.Open(dir.Path());
    second.Info(L"again");
    const auto lines = Lines(dir / L"updater-w7-trace.log");
    ASSERT_EQ(lines.size(), 6u);
    const char* expected[][3] = {
        {"INFO", "1", nullptr}, {"INFO", "2", "Download PASS | Backend=WinHTTP | URL=http://x/"},
        {"WARN", "3", "degraded"}, {"FAIL", "4", "broken | Error=x"},
        {"INFO", "1", nullptr}, {"INFO", "2", "again"},
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, kLineShape)) << lines[i];
        EXPECT_EQ(m[1], expected[i][0]) << lines[i];
        EXPECT_EQ(m[2], expected[i][1]) << lines[i];
        if (expected[i][2] != nullptr) {
            EXPECT_EQ(m[10], expected[i][2]);
        }
    }
}

TEST(TraceLogTest, NonAsciiIsUtf8WithoutByteOrderMark)
{
    TempDir dir;
    TraceLog log;
    log.Open(dir.Path());
    log.Info(L"Datei \u00fcber \u65e5\u672c");
    const std::string text = ReadTestFile(log.path);
    ASSERT_GE(text.size(), 3u);
    EXPECT_NE(text.substr(0, 3), "\xef\xbb\xbf");
    EXPECT_EQ(text.substr(0, 4), "INFO");
    EXPECT_EQ(Message(Lines(log.path)[1]), "Datei \xc3\xbc" "ber \xe6\x97\xa5\xe6\x9c\xac");
}

TEST(TraceLogTest, WriteBeforeOpenIsDroppedButCounted)
{
    TempDir dir;
    TraceLog log;
    log.Info(L"lost");
    log.Warn(L"lost too");
    EXPECT_EQ(log.sequence, 2u);
    EXPECT_TRUE(log.path.empty());
    log.Open(dir.Path());
    const auto lines = Lines(log.path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" | Seq=3 | "), std::string::npos) << lines[0];
}

TEST(TraceLogTest, FallsBackToTheTemporaryFolder)
{
    TempDir dir;
    // A folder that cannot take files: it does not exist, or a file has its name.
    WriteTestFile(dir / L"not-a-folder", "x");
    for (const std::wstring& folder : {dir / L"missing\\deeper", dir / L"not-a-folder"}) {
        const std::wstring fallback = JoinPath(GetTempFolder(), L"OrvUpdaterW7-updater-trace.log");
        const uint64_t before = GetFileSize64(fallback);
        TraceLog log;
        log.Open(folder);
        EXPECT_EQ(log.path, fallback);
        EXPECT_FALSE(DirectoryExists(dir / L"missing"));
        EXPECT_GT(GetFileSize64(fallback), before);
        const auto lines = Lines(fallback);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(Message(lines.back()).rfind("Session start | Version=27.0.0.4 | Executable=", 0), 0u);
    }
}

TEST(TraceLogTest, LinesOfAnExclusivelyLockedLogAreLostNotFatal)
{
    TempDir dir;
    TraceLog log;
    log.Open(dir.Path());
    {
        HANDLE h = ::CreateFileW(log.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        log.Info(L"while locked");
        ::CloseHandle(h);
    }
    log.Info(L"after");
    const auto lines = Lines(log.path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" | Seq=3 | "), std::string::npos) << "the lost line still used Seq=2";
    EXPECT_EQ(Message(lines[1]), "after");
}

TEST(TraceLogTest, FailExceptionWritesComponentAndText)
{
    TempDir dir;
    TraceLog log;
    log.Open(dir.Path());
    log.FailException(L"Global handler", std::runtime_error("abc"));
    log.FailException(L"Global handler", std::runtime_error("caf\xc3\xa9"));
    log.FailException(L"Reader", ThrowingWhat());
    const auto lines = Lines(log.path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 4), "FAIL");
    EXPECT_EQ(Message(lines[1]), "Global handler | abc");
    EXPECT_EQ(Message(lines[2]), "Global handler | caf\xc3\xa9");
    EXPECT_EQ(Message(lines[3]), "Reader | Unknown C++ exception");
}

TEST(TraceLogTest, TimestampIsZeroPaddedLocalTime)
{
    SYSTEMTIME t{};
    t.wYear = 2024;
    t.wMonth = 3;
    t.wDay = 5;
    t.wHour = 9;
    t.wMinute = 7;
    t.wSecond = 2;
    t.wMilliseconds = 45;
    EXPECT_EQ(FormatTimestamp(t), L"2024-03-05 09:07:02.045");
    t.wYear = 999;
    t.wMonth = 12;
    t.wDay = 31;
    t.wHour = 23;
    t.wMinute = 59;
    t.wSecond = 59;
    t.wMilliseconds = 999;
    EXPECT_EQ(FormatTimestamp(t), L"0999-12-31 23:59:59.999");
    EXPECT_EQ(FormatTraceLine(L"WARN", 12, L"T", L"m | K=V"), L"WARN | Seq=12 | T | m | K=V");
}

} // namespace

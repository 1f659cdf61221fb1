#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

// level | Seq=n | YYYY-MM-DD HH:MM:SS.mmm | message, each line ended by CR LF.
const std::regex kLine(R"((INFO|WARN|FAIL) \| Seq=([1-9][0-9]*) \| \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| ([^\r\n]*)\r\n)");

// The lines of a log as "LEVEL n message"; a line of any other shape fails the test.
std::vector<std::string> Lines(const std::wstring& path)
{
    const std::string text = ReadTestFile(path);
    std::vector<std::string> lines;
    for (auto it = text.cbegin(); it != text.cend();) {
        std::smatch m;
        if (!std::regex_search(it, text.cend(), m, kLine, std::regex_constants::match_continuous)) {
            ADD_FAILURE() << "malformed trace text: " << std::string(it, text.cend());
            break;
        }
        lines.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
        it = m[0].second;
    }
    return lines;
}

const std::string kSessionStart = "Session start | Version=27.0.0.4 | Executable=";

TEST(TraceLogTest, LinesOfEveryLevelAreNumberedPerRunAndAppended)
{
    TempDir dir;
    {
        TraceLog log;
        log.Info(L"before the log is open: lost, but numbered");
        log.Open(dir.Path());
        EXPECT_EQ(log.path, dir / L"updater-w7-trace.log");
        log.Info(L"Download PASS | Backend=WinHTTP | URL=http://x/");
        log.Warn(L"Datei \u00fcber \u65e5\u672c");
        // Held exclusively by someone else: the line is lost, not fatal, and its number is used up.
        UniqueFile holder = LockFile(log.path);
        log.Fail(L"lost while locked");
        holder.Reset();
        log.Fail(L"broken | Error=x");
        log.FailException(L"Global handler", std::runtime_error("caf\xc3\xa9"));
        struct Silent : std::exception {
            const char* what() const noexcept override { return nullptr; }
        };
        log.FailException(L"Reader", Silent());
    }
    TraceLog second;
    second.Open(dir.Path());
    const std::string module = WideToUtf8(TestProgramPath());
    const std::vector<std::string> expected = {
        "INFO 2 " + kSessionStart + module,
        "INFO 3 Download PASS | Backend=WinHTTP | URL=http://x/",
        "WARN 4 Datei \xc3\xbc" "ber \xe6\x97\xa5\xe6\x9c\xac",
        "FAIL 6 broken | Error=x",
        "FAIL 7 Global handler | caf\xc3\xa9",
        "FAIL 8 Reader | Unknown C++ exception",
        "INFO 1 " + kSessionStart + module,
    };
    EXPECT_EQ(Lines(dir / L"updater-w7-trace.log"), expected);
    EXPECT_NE(ReadTestFile(second.path).substr(0, 3), "\xef\xbb\xbf") << "no byte-order mark";
}

} // namespace

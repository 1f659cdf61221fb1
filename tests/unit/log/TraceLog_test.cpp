// What the scenarios cannot provoke: lines written before the log is open
// or while someone else holds it are lost without harm but keep their
// numbers, an exception without a text still gets one, and no text can
// break a line.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>

#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

using namespace orv;

TEST(TraceLogTest, LostLinesKeepTheirNumbersAndEveryExceptionGetsAText)
{
    TempDir dir;
    TraceLog log;
    log.Info(L"before the log is open: lost, but numbered");
    log.Open(dir.Path());
    EXPECT_EQ(log.path, dir / L"updater-w7-trace.log");
    {
        UniqueFile holder = LockFile(log.path);
        log.Fail(L"lost while locked");
    }
    struct Silent : std::exception {
        const char* what() const noexcept override { return nullptr; }
    };
    log.FailException(L"Reader", Silent());
    log.FailException(L"Global handler", std::runtime_error("caf\xc3\xa9"));
    log.Warn(L"v\r\nINFO | Seq=9 | forged PASS\x1b[2J\t\x7f\u0085\u2028|");
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
    EXPECT_EQ(std::regex_replace(ReadTestFile(log.path), std::regex(stamp), "T"),
              "INFO | Seq=2 | T | Session start | Version=27.0.0.4 | Build=unsigned development build | Executable=" +
                  WideToUtf8(TestProgramPath()) +
                  "\r\nFAIL | Seq=4 | T | Reader | Unknown C++ exception\r\n"
                  "FAIL | Seq=5 | T | Global handler | caf\xc3\xa9\r\n"
                  "WARN | Seq=6 | T | v\\r\\nINFO | Seq=9 | forged PASS\\x1B[2J\\t\x7f\\x85\\u2028|\r\n");
}

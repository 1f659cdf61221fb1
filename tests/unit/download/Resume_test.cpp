// The rules that decide whether bytes already on disk may be continued.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "download/Downloader.h"
#include "download/Resume.h"

using namespace orv;

namespace {

const wchar_t kHash[] = L"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(ResumeRulesTest, ARecordIsContinuedOnlyForItsOwnUrlAndAnnouncementAndOnlyWithSomethingToJudgeBytesBy)
{
    ExpectedFile announced{true, 1000, kHash, {}};
    PartialRecord record = RecordFor(L"http://h/p.zip", announced);
    record.validator = L"\"5f-3e8\"";
    record.total = 1000;
    const std::wstring text = FormatPartialRecord(record);
    PartialRecord read;
    ASSERT_TRUE(ParsePartialRecord(text, read)) << text;
    EXPECT_TRUE(read == record);
    // A record torn, edited or smuggling a header line is no record.
    std::vector<std::wstring> bad = {text.substr(0, text.size() - 1), L"x" + text, text + L"url=http://o/\r\n", L""};
    using Edit = std::pair<const wchar_t*, const wchar_t*>;
    for (const Edit& edit : {Edit(L"total=1000", L"total=1e3"), Edit(L"total=1000", L"total=-1"),
                             Edit(L"total=1000", L"total=18446744073709551616"),
                             Edit(L"\"5f-3e8\"", L"\"5f\r\nX: y\""), Edit(L"url=http://h/p.zip", L"url=")}) {
        bad.push_back(text);
        bad.back().replace(bad.back().find(edit.first), wcslen(edit.first), edit.second);
    }
    for (const std::wstring& b : bad) {
        EXPECT_FALSE(ParsePartialRecord(b, read)) << b;
    }

    const ExpectedFile unannounced;
    ExpectedFile newer = announced;
    newer.sha256[0] = L'0';
    const PartialRecord bare = RecordFor(L"http://h/p.zip", unannounced);
    const std::tuple<const PartialRecord*, uint64_t, const wchar_t*, const ExpectedFile*, bool> cases[] = {
        {&record, 400, L"http://h/p.zip", &announced, true},    {&record, 400, L"http://m/p.zip", &announced, false},
        {&record, 400, L"http://h/p.zip", &unannounced, false}, {&record, 400, L"http://h/p.zip", &newer, false},
        {&record, 0, L"http://h/p.zip", &announced, false},     {&record, 1000, L"http://h/p.zip", &announced, false},
        // Neither a validator nor an announced hash: nothing could tell two files apart.
        {&bare, 400, L"http://h/p.zip", &unannounced, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MayContinue(*std::get<0>(c), std::get<1>(c), std::get<2>(c), *std::get<3>(c)), std::get<4>(c))
            << std::get<1>(c) << std::get<2>(c) << std::get<3>(c)->sha256;
    }
}

TEST(ResumeRulesTest, OnlyTheExactRestOfTheSameFileIsAppendedAndAnythingElseStartsOver)
{
    EXPECT_EQ(ChooseValidator(L"\"a1\"", L"Mon, 01 Jan 2024 00:00:00 GMT"), L"\"a1\"");
    EXPECT_EQ(ChooseValidator(L"W/\"a1\"", L"Mon, 01 Jan 2024 00:00:00 GMT"), L"Mon, 01 Jan 2024 00:00:00 GMT");
    EXPECT_EQ(ChooseValidator(L"W/\"a1\"", L""), L"");

    using U = AnswerUse;
    const std::tuple<uint64_t, bool, uint32_t, const wchar_t*, bool, uint64_t, AnswerUse> cases[] = {
        {0, true, 200, L"", false, 0, U::FromStart},
        {0, true, 206, L"bytes 0-9/10", false, 0, U::FromStart},
        {0, true, 416, L"", false, 0, U::Refuse},
        {0, false, 0, L"", false, 0, U::Refuse},
        {500, true, 206, L"bytes 500-999/1000", false, 1000, U::Append},
        {500, true, 206, L"bytes 500-999/1000", false, 0, U::Append},
        {500, true, 206, L"bytes 400-999/1000", false, 1000, U::AskWhole},
        {500, true, 206, L"bytes 500-1099/1100", false, 1000, U::AskWhole},
        {500, true, 206, L"bytes 500-999/*", false, 1000, U::AskWhole},
        {500, true, 206, L"bytes 500-1000/1000", false, 1000, U::AskWhole},
        {500, true, 206, L"bytes 500-999/1000", true, 1000, U::AskWhole},
        // The server ignored Range, or the file changed behind If-Range.
        {500, true, 200, L"", false, 1000, U::FromStart},
        {500, true, 416, L"bytes */1000", false, 1000, U::AskWhole},
        {500, true, 404, L"", false, 1000, U::Refuse},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UseOfAnswer(std::get<0>(c), std::get<1>(c), std::get<2>(c), std::get<3>(c), std::get<4>(c),
                              std::get<5>(c)),
                  std::get<6>(c))
            << std::get<0>(c) << L" " << std::get<2>(c) << L" " << std::get<3>(c);
    }
}

} // namespace

// The message boxes as a user sees them: a separate helper program finds
// each box on the desktop, records what it shows and presses a button.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"
#include "ui/ProgressWindow.h"

namespace {

using Record = std::map<std::string, std::string>;

// One run of BoxAnswerer, aimed at boxes of this process only, so suites
// running beside us on the same desktop cannot interfere.
class Answerer {
public:
    explicit Answerer(const std::wstring& press, DWORD timeoutMs = 10000, unsigned count = 1)
    {
        std::wstring line = L"\"" + TestToolPath(L"BoxAnswerer.exe") + L"\" /pid:" +
                            std::to_wstring(::GetCurrentProcessId()) + L" /press:" + press +
                            L" /timeout:" + std::to_wstring(timeoutMs) + L" /count:" + std::to_wstring(count) +
                            L" \"/out:" + (dir_ / L"box.txt") + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            process_.Reset(info.hProcess);
            UniqueHandle thread(info.hThread);
        }
    }
    ~Answerer()
    {
        if (process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process_.Get(), 99);
            ::WaitForSingleObject(process_.Get(), 5000);
        }
    }

    bool Started() const { return process_.Valid(); }

    // The helper's exit code (0 answered, 2 no box seen), -1 if it hung.
    long Finish()
    {
        if (::WaitForSingleObject(process_.Get(), 30000) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_.Get(), &code);
        return static_cast<long>(code);
    }

    Record Read() const
    {
        Record record;
        const std::string text = ReadTestFile(dir_ / L"box.txt");
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string line = text.substr(start, end - start);
            const size_t eq = line.find('=');
            if (eq != std::string::npos) {
                record[line.substr(0, eq)] = Unescape(line.substr(eq + 1));
            }
            start = end + 1;
        }
        return record;
    }

private:
    static std::string Unescape(const std::string& value)
    {
        std::string out;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) {
                const char next = value[++i];
                out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
            } else {
                out += value[i];
            }
        }
        return out;
    }

    TempDir dir_;
    UniqueHandle process_;
};

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ui.Create());
        ASSERT_NE(ui.window, nullptr);
    }
    ProgressWindow ui{false};
};

TEST_F(MessageBoxTest, QuestionWithCodeOneDefaultsToNo)
{
    Answerer answerer(L"yes");
    ASSERT_TRUE(answerer.Started());
    const int answer = ui.AskYesNo(L"Install 3 updates now?", L"ORV Update", 1);
    ASSERT_EQ(answerer.Finish(), 0);
    const Record box = answerer.Read();
    EXPECT_EQ(box.at("caption"), "ORV Update");
    EXPECT_EQ(box.at("text"), "Install 3 updates now?");
    EXPECT_EQ(box.at("buttons"), "yes,no");
    EXPECT_EQ(box.at("default"), "no");
    EXPECT_EQ(box.at("icon"), "question");
    EXPECT_EQ(box.at("owner"), "OrvUpdaterW7NativeWindow");
    EXPECT_EQ(answer, IDYES);
}

TEST_F(MessageBoxTest, QuestionWithCodeZeroDefaultsToYes)
{
    Answerer answerer(L"no");
    ASSERT_TRUE(answerer.Started());
    const int answer = ui.AskYesNo(L"Restart Windows now?", L"Restart", 0);
    ASSERT_EQ(answerer.Finish(), 0);
    const Record box = answerer.Read();
    EXPECT_EQ(box.at("caption"), "Restart");
    EXPECT_EQ(box.at("buttons"), "yes,no");
    EXPECT_EQ(box.at("default"), "yes");
    EXPECT_EQ(answer, IDNO);
}

TEST_F(MessageBoxTest, EnterKeyGivesTheDefaultAnswer)
{
    const struct {
        unsigned char code;
        int expected;
    } cases[] = {{0, IDYES}, {1, IDNO}};
    for (const auto& c : cases) {
        Answerer answerer(L"enter");
        ASSERT_TRUE(answerer.Started());
        EXPECT_EQ(ui.AskYesNo(L"Proceed?", L"Question", c.code), c.expected) << int(c.code);
        ASSERT_EQ(answerer.Finish(), 0);
    }
}

TEST_F(MessageBoxTest, ErrorAndInformationBoxesCarryTheProgramName)
{
    const struct {
        bool error;
        const char* icon;
    } cases[] = {{true, "error"}, {false, "information"}};
    for (const auto& c : cases) {
        Answerer answerer(L"ok");
        ASSERT_TRUE(answerer.Started());
        const std::wstring text = L"No update server answered.\r\nhttp://127.0.0.1/updater.xml: FAIL";
        if (c.error) {
            ui.ShowError(text);
        } else {
            ui.ShowInfo(text);
        }
        ASSERT_EQ(answerer.Finish(), 0) << c.icon;
        const Record box = answerer.Read();
        EXPECT_EQ(box.at("caption"), "OrvUpdaterW7");
        EXPECT_EQ(box.at("text"), WideToUtf8(text));
        EXPECT_EQ(box.at("buttons"), "ok");
        EXPECT_EQ(box.at("icon"), c.icon);
        EXPECT_EQ(box.at("owner"), "OrvUpdaterW7NativeWindow");
    }
}

TEST_F(MessageBoxTest, BoxesAfterTheUserClosedTheWindowHaveNoOwner)
{
    ::SendMessageW(ui.window, WM_CLOSE, 0, 0);
    ASSERT_EQ(ui.window, nullptr);

    Answerer question(L"no");
    ASSERT_TRUE(question.Started());
    EXPECT_EQ(ui.AskYesNo(L"Launch ORV now?", L"ORV", 1), IDNO);
    ASSERT_EQ(question.Finish(), 0);
    EXPECT_EQ(question.Read().at("owner"), "");

    Answerer info(L"ok");
    ASSERT_TRUE(info.Started());
    ui.ShowInfo(L"Update finished.");
    ASSERT_EQ(info.Finish(), 0);
    const Record box = info.Read();
    EXPECT_EQ(box.at("owner"), "");
    EXPECT_EQ(box.at("text"), "Update finished.");
}

TEST(MessageBoxNoWindowTest, BoxesBeforeAnyWindowStillAppear)
{
    ProgressWindow ui(false);  // never created, as in a run that fails early
    Answerer answerer(L"ok");
    ASSERT_TRUE(answerer.Started());
    ui.ShowError(L"");
    ASSERT_EQ(answerer.Finish(), 0);
    const Record box = answerer.Read();
    EXPECT_EQ(box.at("caption"), "OrvUpdaterW7");
    EXPECT_EQ(box.at("text"), "");
    EXPECT_EQ(box.at("icon"), "error");
    EXPECT_EQ(box.at("owner"), "");
}

TEST(MessageBoxSilentTest, SilentRunShowsNoBoxAndAnswersNo)
{
    ProgressWindow ui(true);
    ASSERT_TRUE(ui.Create());
    // The helper looks for any box of ours for a while and would close each
    // one it found (so a wrong box cannot hang the test); it must find none.
    Answerer watcher(L"default", 3000, 4);
    ASSERT_TRUE(watcher.Started());
    EXPECT_EQ(ui.AskYesNo(L"Install?", L"ORV", 0), IDNO);
    EXPECT_EQ(ui.AskYesNo(L"Install?", L"ORV", 1), IDNO);
    ui.ShowError(L"error text");
    ui.ShowInfo(L"info text");
    EXPECT_EQ(watcher.Finish(), 2);
}

}  // namespace

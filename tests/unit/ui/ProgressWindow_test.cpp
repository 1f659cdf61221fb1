// The progress window as the system sees it: every check reads the real
// controls back through the Win32 API.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ProgressWindow.h"

namespace {

std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[256] = {};
    ::GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring TextOf(HWND hwnd)
{
    const int length = ::GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(hwnd, &text[0], length + 1)));
    return text;
}

RECT RectInParent(HWND control)
{
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

int BarPosition(HWND bar)
{
    return static_cast<int>(::SendMessageW(bar, PBM_GETPOS, 0, 0));
}

BOOL CALLBACK CountWindow(HWND, LPARAM count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int ChildCount(HWND parent)
{
    int count = 0;
    ::EnumChildWindows(parent, &CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

int ThreadWindowCount()
{
    int count = 0;
    ::EnumThreadWindows(::GetCurrentThreadId(), &CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

// Removes whatever earlier steps left in this thread's queue.
void DrainQueue()
{
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

bool QueueHolds(UINT messageId)
{
    MSG message{};
    return ::PeekMessageW(&message, nullptr, messageId, messageId, PM_NOREMOVE) != FALSE;
}

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DrainQueue();
        ASSERT_TRUE(ui.Create());
        ASSERT_NE(ui.window, nullptr);
    }
    void TearDown() override
    {
        ui.Close();
        DrainQueue();
    }

    ProgressWindow ui{false};
};

TEST_F(ProgressWindowTest, TopLevelWindowIsAFixedCentredCaptionWindow)
{
    EXPECT_EQ(ClassOf(ui.window), L"OrvUpdaterW7NativeWindow");
    EXPECT_EQ(TextOf(ui.window), L"OrvUpdaterW7");
    EXPECT_TRUE(::IsWindowVisible(ui.window));
    EXPECT_EQ(::GetParent(ui.window), nullptr);

    const LONG style = ::GetWindowLongW(ui.window, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    // No resizing and no maximising: the layout is fixed.
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_CHILD);
    EXPECT_TRUE(::GetWindowLongW(ui.window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);

    RECT r{};
    ASSERT_TRUE(::GetWindowRect(ui.window, &r));
    EXPECT_EQ(r.right - r.left, 650);
    EXPECT_EQ(r.bottom - r.top, 285);
    EXPECT_EQ(r.left, (::GetSystemMetrics(SM_CXSCREEN) - 650) / 2);
    EXPECT_EQ(r.top, (::GetSystemMetrics(SM_CYSCREEN) - 285) / 2);

    // The window is ours alone: no menu, and exactly the five controls.
    EXPECT_EQ(::GetMenu(ui.window), nullptr);
    EXPECT_EQ(ChildCount(ui.window), 5);
}

TEST_F(ProgressWindowTest, ControlsHaveTheirClassStylePlaceAndFirstText)
{
    const struct {
        HWND control;
        const wchar_t* className;
        LONG requiredStyle;
        int y;
        int height;
        const wchar_t* text;
    } controls[] = {
        {ui.statusText, L"Static", 0, 25, 28, L"Starting updater..."},
        {ui.detailText, L"Static", SS_ENDELLIPSIS, 60, 36, L""},
        {ui.downloadText, L"Static", 0, 105, 22, L"Waiting for download..."},
        {ui.downloadBar, L"msctls_progress32", PBS_SMOOTH, 130, 20, nullptr},
        {ui.overallBar, L"msctls_progress32", PBS_SMOOTH, 185, 22, nullptr},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.y);
        ASSERT_NE(c.control, nullptr);
        EXPECT_EQ(::GetParent(c.control), ui.window);
        EXPECT_EQ(_wcsicmp(ClassOf(c.control).c_str(), c.className), 0) << ClassOf(c.control);
        const LONG style = ::GetWindowLongW(c.control, GWL_STYLE);
        EXPECT_TRUE(style & WS_CHILD);
        EXPECT_TRUE(::IsWindowVisible(c.control));
        EXPECT_EQ(style & c.requiredStyle, c.requiredStyle);
        const RECT r = RectInParent(c.control);
        EXPECT_EQ(r.left, 24);
        EXPECT_EQ(r.top, c.y);
        EXPECT_EQ(r.right - r.left, 590);
        EXPECT_EQ(r.bottom - r.top, c.height);
        if (c.text != nullptr) {
            EXPECT_EQ(TextOf(c.control), c.text);
            // Plain static text lines: no icon, frame or other static kind.
            EXPECT_EQ(style & SS_TYPEMASK, SS_LEFT);
        } else {
            PBRANGE range{};
            ::SendMessageW(c.control, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
            EXPECT_EQ(range.iLow, 0);
            EXPECT_EQ(range.iHigh, 1000);
            EXPECT_EQ(BarPosition(c.control), 0);
        }
    }
    // Only the detail line may cut a long text short with an ellipsis.
    EXPECT_FALSE(::GetWindowLongW(ui.statusText, GWL_STYLE) & SS_ENDELLIPSIS);
}

TEST_F(ProgressWindowTest, TextLinesUseTheSystemMessageFont)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));

    const HWND lines[] = {ui.statusText, ui.detailText, ui.downloadText};
    const HFONT font = reinterpret_cast<HFONT>(::SendMessageW(ui.statusText, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    for (HWND line : lines) {
        EXPECT_EQ(reinterpret_cast<HFONT>(::SendMessageW(line, WM_GETFONT, 0, 0)), font);
    }
    LOGFONTW used{};
    ASSERT_EQ(::GetObjectW(font, sizeof(used), &used), static_cast<int>(sizeof(used)));
    EXPECT_STREQ(used.lfFaceName, metrics.lfMessageFont.lfFaceName);
    EXPECT_EQ(used.lfHeight, metrics.lfMessageFont.lfHeight);
    EXPECT_EQ(used.lfWeight, metrics.lfMessageFont.lfWeight);
    EXPECT_NE(font, ::GetStockObject(DEFAULT_GUI_FONT));
}

TEST_F(ProgressWindowTest, UpdatesReachTheirControls)
{
    ui.SetStatus(L"Checking ORV update servers...");
    ui.SetDetail(L"Package core.zip 27.0.0.4");
    EXPECT_EQ(TextOf(ui.statusText), L"Checking ORV update servers...");
    EXPECT_EQ(TextOf(ui.detailText), L"Package core.zip 27.0.0.4");

    const struct {
        int32_t done;
        int32_t total;
        int expected;
    } overall[] = {{3, 4, 750}, {5, 4, 1000}, {0, 4, 0}, {1, 3, 333}, {1, 0, 0}, {-3, 4, 0}, {3, -4, 0}};
    for (const auto& c : overall) {
        ui.SetOverallProgress(c.done, c.total);
        EXPECT_EQ(BarPosition(ui.overallBar), c.expected) << c.done << "/" << c.total;
    }

    ui.SetDownloadProgress(1572864, 3145728);
    EXPECT_EQ(TextOf(ui.downloadText), L"Downloaded 1 MB / 3 MB (50%)");
    EXPECT_EQ(BarPosition(ui.downloadBar), 500);

    ui.BeginDownload();
    EXPECT_EQ(TextOf(ui.downloadText), L"Connecting to server...");
    EXPECT_EQ(BarPosition(ui.downloadBar), 0);

    ui.SetDownloadProgress(3145728, 3145728);
    EXPECT_EQ(TextOf(ui.downloadText), L"Downloaded 3 MB / 3 MB (100%)");
    EXPECT_EQ(BarPosition(ui.downloadBar), 1000);

    ui.EndDownload(false);
    EXPECT_EQ(TextOf(ui.downloadText), L"Download attempt failed; trying next method...");
    EXPECT_EQ(BarPosition(ui.downloadBar), 0);

    ui.SetDownloadProgress(1024, 4096);
    ui.EndDownload(true);
    EXPECT_EQ(TextOf(ui.downloadText), L"Download completed.");
    EXPECT_EQ(BarPosition(ui.downloadBar), 1000);

    // The other lines are left alone by download reporting.
    EXPECT_EQ(TextOf(ui.statusText), L"Checking ORV update servers...");
    EXPECT_EQ(BarPosition(ui.overallBar), 0);
}

TEST_F(ProgressWindowTest, UnknownTotalSweepsWithTheClock)
{
    ui.BeginDownload();
    for (int round = 0; round < 40; ++round) {
        const uint64_t received = round < 5 ? 0 : static_cast<uint64_t>(round) * 100000;
        const DWORD before = ::GetTickCount();
        ui.SetDownloadProgress(received, 0);
        const DWORD after = ::GetTickCount();
        const int position = BarPosition(ui.downloadBar);
        ASSERT_GE(position, 50);
        ASSERT_LE(position, 949);
        // The position is the one the clock gave at the moment of the call.
        bool matches = false;
        for (DWORD tick = before; tick != after + 1; ++tick) {
            matches = matches || SweepPosition(tick) == position;
        }
        EXPECT_TRUE(matches) << position << " between ticks " << before << " and " << after;
        EXPECT_EQ(TextOf(ui.downloadText), received == 0 ? L"Connecting to server..."
                                                            : L"Downloaded " + FormatByteSize(received));
        ::Sleep(13);
    }
}

TEST_F(ProgressWindowTest, OddInputNeverBreaksTheWindow)
{
    const std::wstring longText(5000, L'x');
    ui.SetDetail(longText + L" tail");
    EXPECT_EQ(TextOf(ui.detailText), longText + L" tail");
    ui.SetStatus(longText);
    EXPECT_EQ(TextOf(ui.statusText), longText);
    ui.SetStatus(L"");
    ui.SetDetail(L"");
    EXPECT_EQ(TextOf(ui.statusText), L"");
    EXPECT_EQ(TextOf(ui.detailText), L"");
    ui.SetDetail(L"line one\r\nline two\r\nline three");
    EXPECT_EQ(TextOf(ui.detailText), L"line one\r\nline two\r\nline three");

    const uint64_t kMax64 = ~uint64_t(0);
    const struct {
        uint64_t received;
        uint64_t total;
    } downloads[] = {{0, 0}, {kMax64, 0}, {kMax64, kMax64}, {kMax64, 1}, {0, kMax64}, {kMax64 - 1, kMax64}};
    for (const auto& d : downloads) {
        ui.SetDownloadProgress(d.received, d.total);
        const int position = BarPosition(ui.downloadBar);
        EXPECT_GE(position, 0);
        EXPECT_LE(position, 1000);
    }
    ui.SetDownloadProgress(kMax64 - 1, kMax64);
    EXPECT_EQ(BarPosition(ui.downloadBar), 999);
    EXPECT_EQ(TextOf(ui.downloadText), L"Downloaded 17592186044415 MB / 17592186044415 MB (99%)");

    const int32_t kMin32 = INT32_MIN;
    const int32_t kMax32 = INT32_MAX;
    const int32_t pairs[][2] = {{kMin32, kMin32}, {kMax32, kMax32}, {kMax32, 1}, {kMin32, 1}, {-1, -1}, {7, 0}};
    for (const auto& p : pairs) {
        ui.SetOverallProgress(p[0], p[1]);
        const int position = BarPosition(ui.overallBar);
        EXPECT_GE(position, 0);
        EXPECT_LE(position, 1000);
    }
    EXPECT_TRUE(::IsWindow(ui.window));
}

TEST_F(ProgressWindowTest, TitleBarCloseRequestsStopAndLeavesLaterCallsHarmless)
{
    const HWND window = ui.window;
    const HWND status = ui.statusText;
    ASSERT_TRUE(::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
    EXPECT_FALSE(ui.closeRequested);
    ui.PumpMessages();

    EXPECT_TRUE(ui.closeRequested);
    EXPECT_EQ(ui.window, nullptr);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_FALSE(::IsWindow(status));
    // Closing the window must not end the thread's work.
    EXPECT_FALSE(QueueHolds(WM_QUIT));
    EXPECT_EQ(ThreadWindowCount(), 0);

    // The run goes on reporting into the void.
    ui.SetStatus(L"Installing...");
    ui.SetDetail(L"file.dll");
    ui.SetOverallProgress(1, 2);
    ui.BeginDownload();
    ui.SetDownloadProgress(10, 100);
    ui.SetDownloadProgress(10, 0);
    ui.EndDownload(true);
    ui.PumpMessages();
    EXPECT_EQ(ui.window, nullptr);
    EXPECT_EQ(ThreadWindowCount(), 0);
    EXPECT_TRUE(ui.closeRequested);

    ui.Close();
    EXPECT_EQ(ui.statusText, nullptr);
    EXPECT_EQ(ui.detailText, nullptr);
    EXPECT_EQ(ui.downloadText, nullptr);
    EXPECT_EQ(ui.downloadBar, nullptr);
    EXPECT_EQ(ui.overallBar, nullptr);
}

TEST_F(ProgressWindowTest, QuitMessageMetWhilePumpingRequestsStop)
{
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 7, 0, 0);
    ::PostQuitMessage(0);
    ui.PumpMessages();
    EXPECT_TRUE(ui.closeRequested);
    // The quit is consumed, everything else was dispatched, and the window
    // stays up: only the session decides to stop.
    EXPECT_FALSE(QueueHolds(WM_QUIT));
    EXPECT_FALSE(QueueHolds(WM_APP + 7));
    EXPECT_TRUE(::IsWindow(ui.window));
}

TEST_F(ProgressWindowTest, CloseDestroysTheWindowAndLaterCallsDoNothing)
{
    const HWND window = ui.window;
    ui.Close();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(ui.window, nullptr);
    EXPECT_EQ(ui.overallBar, nullptr);
    EXPECT_FALSE(ui.closeRequested);
    // Nothing happens after Close, and nothing crashes.
    ui.SetStatus(L"late");
    ui.SetOverallProgress(1, 1);
    ui.EndDownload(true);
    EXPECT_EQ(ThreadWindowCount(), 0);
}

TEST(ProgressWindowLifetimeTest, DestructionRemovesTheWindowAndFreesItsFont)
{
    DrainQueue();
    HWND window = nullptr;
    HGDIOBJ font = nullptr;
    {
        ProgressWindow ui(false);
        ASSERT_TRUE(ui.Create());
        window = ui.window;
        font = reinterpret_cast<HGDIOBJ>(::SendMessageW(ui.detailText, WM_GETFONT, 0, 0));
        ASSERT_TRUE(::IsWindow(window));
        ASSERT_EQ(::GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
        // A user close takes the window but the object still owns the font.
        ::SendMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_FALSE(::IsWindow(window));
    }
    EXPECT_EQ(::GetObjectType(font), 0u);

    {
        ProgressWindow ui(false);
        ASSERT_TRUE(ui.Create());
        window = ui.window;
        font = reinterpret_cast<HGDIOBJ>(::SendMessageW(ui.statusText, WM_GETFONT, 0, 0));
    }
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(::GetObjectType(font), 0u);
    EXPECT_EQ(ThreadWindowCount(), 0);
}

TEST(ProgressWindowLifetimeTest, EachWindowReportsToItsOwnObject)
{
    DrainQueue();
    ProgressWindow first(false);
    ProgressWindow second(false);
    ASSERT_TRUE(first.Create());
    ASSERT_TRUE(second.Create());
    ASSERT_NE(first.window, second.window);

    ::SendMessageW(second.window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(second.closeRequested);
    EXPECT_EQ(second.window, nullptr);
    EXPECT_FALSE(first.closeRequested);
    ASSERT_NE(first.window, nullptr);
    EXPECT_TRUE(::IsWindow(first.window));

    first.SetStatus(L"still here");
    EXPECT_EQ(TextOf(first.statusText), L"still here");
}

TEST(ProgressWindowSilentTest, SilentObjectMakesNoWindowAndLeavesTheQueueAlone)
{
    DrainQueue();
    ProgressWindow ui(true);
    EXPECT_TRUE(ui.Create());
    EXPECT_EQ(ui.window, nullptr);
    EXPECT_EQ(ui.statusText, nullptr);
    EXPECT_EQ(ui.overallBar, nullptr);
    EXPECT_EQ(ThreadWindowCount(), 0);
    EXPECT_EQ(::FindWindowW(L"OrvUpdaterW7NativeWindow", nullptr), nullptr);

    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 3, 11, 22));
    ::PostQuitMessage(0);
    ui.PumpMessages();
    ui.SetStatus(L"status");
    ui.SetDetail(L"detail");
    ui.SetOverallProgress(1, 2);
    ui.BeginDownload();
    ui.SetDownloadProgress(1, 2);
    ui.SetDownloadProgress(1, 0);
    ui.EndDownload(true);
    ui.Close();

    EXPECT_FALSE(ui.closeRequested);
    EXPECT_EQ(ThreadWindowCount(), 0);
    MSG message{};
    ASSERT_TRUE(::PeekMessageW(&message, nullptr, WM_APP + 3, WM_APP + 3, PM_REMOVE));
    EXPECT_EQ(message.wParam, 11u);
    EXPECT_EQ(message.lParam, 22);
    EXPECT_TRUE(QueueHolds(WM_QUIT));
    DrainQueue();
}

}  // namespace

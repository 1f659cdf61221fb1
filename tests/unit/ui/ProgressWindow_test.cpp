// The progress window as the system sees it: the real controls, read back
// through the Win32 API. Only this thread's windows are looked at, so other
// tests' windows on the same desktop never interfere.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

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
    wchar_t text[512] = {};
    ::GetWindowTextW(hwnd, text, 512);
    return text;
}

int BarPosition(HWND bar)
{
    return static_cast<int>(::SendMessageW(bar, PBM_GETPOS, 0, 0));
}

int ThreadWindowCount()
{
    int count = 0;
    const WNDENUMPROC counter = [](HWND, LPARAM n) -> BOOL {
        ++*reinterpret_cast<int*>(n);
        return TRUE;
    };
    ::EnumThreadWindows(::GetCurrentThreadId(), counter, reinterpret_cast<LPARAM>(&count));
    return count;
}

bool QueueHolds(UINT id)
{
    MSG message{};
    return ::PeekMessageW(&message, nullptr, id, id, PM_NOREMOVE) != FALSE;
}

void DrainQueue()
{
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST(ProgressWindowTest, LayoutIsTheFixedCentredWindowWithItsFiveControls)
{
    ProgressWindow ui(false);
    ASSERT_TRUE(ui.Create());
    EXPECT_EQ(ClassOf(ui.window), L"OrvUpdaterW7NativeWindow");
    EXPECT_EQ(TextOf(ui.window), L"OrvUpdaterW7");
    const LONG style = ::GetWindowLongW(ui.window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_MAXIMIZEBOX),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_TRUE(::GetWindowLongW(ui.window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
    RECT r{};
    ::GetWindowRect(ui.window, &r);
    EXPECT_EQ(r.right - r.left, 650);
    EXPECT_EQ(r.bottom - r.top, 285);
    EXPECT_EQ(r.left, (::GetSystemMetrics(SM_CXSCREEN) - 650) / 2);
    EXPECT_EQ(r.top, (::GetSystemMetrics(SM_CYSCREEN) - 285) / 2);

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));
    const struct {
        HWND control;
        const wchar_t* className;
        LONG style;
        int y;
        int height;
        const wchar_t* text; // null for the bars
    } controls[] = {
        {ui.statusText, L"Static", 0, 25, 28, L"Starting updater..."},
        {ui.detailText, L"Static", SS_ENDELLIPSIS, 60, 36, L""},
        {ui.downloadText, L"Static", 0, 105, 22, L"Waiting for download..."},
        {ui.downloadBar, L"msctls_progress32", PBS_SMOOTH, 130, 20, nullptr},
        {ui.overallBar, L"msctls_progress32", PBS_SMOOTH, 185, 22, nullptr},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.y);
        EXPECT_EQ(::GetParent(c.control), ui.window);
        EXPECT_EQ(_wcsicmp(ClassOf(c.control).c_str(), c.className), 0) << ClassOf(c.control);
        EXPECT_EQ(::GetWindowLongW(c.control, GWL_STYLE) & ~WS_CLIPSIBLINGS, WS_CHILD | WS_VISIBLE | c.style);
        ::GetWindowRect(c.control, &r);
        ::MapWindowPoints(HWND_DESKTOP, ui.window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, 24);
        EXPECT_EQ(r.top, c.y);
        EXPECT_EQ(r.right - r.left, 590);
        EXPECT_EQ(r.bottom - r.top, c.height);
        if (c.text != nullptr) {
            EXPECT_EQ(TextOf(c.control), c.text);
            LOGFONTW font{};
            ::GetObjectW(reinterpret_cast<HGDIOBJ>(::SendMessageW(c.control, WM_GETFONT, 0, 0)), sizeof(font), &font);
            EXPECT_STREQ(font.lfFaceName, metrics.lfMessageFont.lfFaceName);
            EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight);
        } else {
            EXPECT_EQ(::SendMessageW(c.control, PBM_GETRANGE, FALSE, 0), 1000);
            EXPECT_EQ(BarPosition(c.control), 0);
        }
    }
}

TEST(ProgressWindowTest, TitleBarCloseAndQuitRequestStopButNeverEndTheRun)
{
    DrainQueue();
    ProgressWindow ui(false);
    ASSERT_TRUE(ui.Create());
    const HWND window = ui.window;
    ASSERT_TRUE(::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
    ui.PumpMessages();
    EXPECT_TRUE(ui.closeRequested);
    EXPECT_EQ(ui.window, nullptr);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_FALSE(QueueHolds(WM_QUIT)) << "closing the window must not end the thread's work";
    // The run goes on reporting into the void.
    ui.SetStatus(L"Installing...");
    ui.SetDownloadProgress(10, 100);
    ui.EndDownload(true);
    EXPECT_EQ(ThreadWindowCount(), 0);

    ProgressWindow second(false);
    ASSERT_TRUE(second.Create());
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 7, 0, 0);
    ::PostQuitMessage(0);
    second.PumpMessages();
    EXPECT_TRUE(second.closeRequested);
    EXPECT_FALSE(QueueHolds(WM_QUIT)) << "the quit is consumed";
    EXPECT_FALSE(QueueHolds(WM_APP + 7)) << "everything else is dispatched";
    EXPECT_TRUE(::IsWindow(second.window));
}

TEST(ProgressWindowTest, SilentObjectMakesNoWindowAndLeavesTheQueueAlone)
{
    DrainQueue();
    ProgressWindow ui(true);
    EXPECT_TRUE(ui.Create());
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 3, 0, 0));
    ::PostQuitMessage(0);
    ui.PumpMessages();
    ui.SetStatus(L"status");
    ui.SetOverallProgress(1, 2);
    ui.BeginDownload();
    ui.SetDownloadProgress(1, 2);
    ui.EndDownload(true);
    EXPECT_EQ(ui.window, nullptr);
    EXPECT_EQ(ThreadWindowCount(), 0);
    EXPECT_FALSE(ui.closeRequested);
    EXPECT_TRUE(QueueHolds(WM_APP + 3));
    EXPECT_TRUE(QueueHolds(WM_QUIT));
    DrainQueue();
}

} // namespace

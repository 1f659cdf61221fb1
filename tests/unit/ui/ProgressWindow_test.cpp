// The progress window's behaviour towards its own thread, which no scenario
// can reach: closing and quitting never end the run, a silent object leaves
// the thread alone, and every text uses the message font. (Its layout and
// progress are read from the real updater in the package scenario.)
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ui/ProgressWindow.h"

using namespace orv;

namespace {

int ThreadWindowCount()
{
    int count = 0;
    const WNDENUMPROC counter = [](HWND, LPARAM n) -> BOOL { return ++*reinterpret_cast<int*>(n) > 0; };
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

// Every text starts in the message font; closing the window from its title
// bar, and a quit request seen while pumping, stop the run but never end it.
TEST(ProgressWindowTest, TextsUseTheMessageFontCloseAndQuitNeverEndTheRunAndASilentObjectStaysOut)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));
    DrainQueue();
    ProgressWindow ui(false);
    ASSERT_TRUE(ui.Create());
    // The three text lines, in the order the window made them.
    const HWND status = ::FindWindowExW(ui.Handle(), nullptr, L"STATIC", nullptr);
    const HWND detail = ::FindWindowExW(ui.Handle(), status, L"STATIC", nullptr);
    const std::pair<HWND, const wchar_t*> texts[] = {{status, L"Starting updater..."},
                                                     {detail, L""},
                                                     {::FindWindowExW(ui.Handle(), detail, L"STATIC", nullptr),
                                                      L"Waiting for download..."}};
    for (const auto& t : texts) {
        wchar_t text[64] = {};
        ::GetWindowTextW(t.first, text, 64);
        EXPECT_STREQ(text, t.second);
        LOGFONTW font{};
        ::GetObjectW(reinterpret_cast<HGDIOBJ>(::SendMessageW(t.first, WM_GETFONT, 0, 0)), sizeof(font), &font);
        EXPECT_STREQ(font.lfFaceName, metrics.lfMessageFont.lfFaceName) << t.second;
        EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight) << t.second;
    }
    const HWND window = ui.Handle();
    ASSERT_TRUE(::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
    ui.PumpMessages();
    EXPECT_TRUE(ui.CloseRequested());
    EXPECT_TRUE(ui.Handle() == nullptr && !::IsWindow(window));
    EXPECT_FALSE(QueueHolds(WM_QUIT)) << "closing the window must not end the thread's work";
    // The run goes on reporting into the void.
    ui.SetStatus(L"Installing...");
    ui.SetDownloadProgress(10, 100);
    ui.EndDownload(true);
    EXPECT_EQ(ThreadWindowCount(), 0);

    // A silent object makes no window and leaves the thread's queue alone.
    ProgressWindow silent(true);
    EXPECT_TRUE(silent.Create());
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 3, 0, 0));
    ::PostQuitMessage(0);
    silent.PumpMessages();
    silent.SetStatus(L"status");
    silent.SetOverallProgress(1, 2);
    silent.BeginDownload();
    silent.SetDownloadProgress(1, 2);
    silent.EndDownload(true);
    EXPECT_EQ(silent.Handle(), nullptr);
    EXPECT_EQ(ThreadWindowCount(), 0);
    EXPECT_FALSE(silent.CloseRequested());
    EXPECT_TRUE(QueueHolds(WM_APP + 3) && QueueHolds(WM_QUIT));
    DrainQueue();

    ProgressWindow second(false);
    ASSERT_TRUE(second.Create());
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 7, 0, 0);
    ::PostQuitMessage(0);
    second.PumpMessages();
    EXPECT_TRUE(second.CloseRequested());
    EXPECT_FALSE(QueueHolds(WM_QUIT)) << "the quit is consumed";
    EXPECT_FALSE(QueueHolds(WM_APP + 7)) << "everything else is dispatched";
    EXPECT_TRUE(::IsWindow(second.Handle()));
}

} // namespace

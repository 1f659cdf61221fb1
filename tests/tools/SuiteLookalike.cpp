// Stands in for one of the suite's programs while the updater stops them.
// The tests copy it under a suite name (orvw_lum.exe, kds_lum.exe, ...).
//   SuiteLookalike.exe /window|/nowindow READY-FILE [CLOSED-FILE]
// It writes READY-FILE once it runs (and its window exists). With /window it
// has one top-level window and, when that window is asked to close, writes
// CLOSED-FILE and ends by itself; a killed look-alike never writes it. It
// ends on its own after two minutes, so a failed test leaves nothing behind.
#include <windows.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace {

constexpr UINT kLifetimeMs = 120000;
std::wstring g_closedFile;

bool WriteMarker(const std::wstring& path)
{
    std::wstring error;
    return WriteFileDirect(path, "1", 1, error);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        WriteMarker(g_closedFile);
        ::DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateMainWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrvSuiteLookalike";
    ::RegisterClassW(&windowClass);
    return ::CreateWindowExW(0, windowClass.lpszClassName, L"Suite look-alike", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                             100, nullptr, nullptr, windowClass.hInstance, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        return 2;
    }
    const bool withWindow = std::wstring(argv[1]) == L"/window";
    if (withWindow) {
        if (argc < 4 || CreateMainWindow() == nullptr) {
            return 3;
        }
        g_closedFile = argv[3];
    }
    if (!WriteMarker(argv[2])) {
        return 4;
    }
    ::SetTimer(nullptr, 0, kLifetimeMs, nullptr);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            return 5;
        }
        ::DispatchMessageW(&message);
    }
    return 0;
}

// Stands in for one of the suite's programs while the updater stops them.
// The tests copy it under a suite name (orvw_lum.exe, ...).
//   SuiteLookalike.exe /window READY-FILE CLOSED-FILE
// It has one top-level window and writes READY-FILE once that exists. When
// the window is asked to close, it writes CLOSED-FILE and ends by itself; a
// killed look-alike never writes it. It ends on its own after two minutes,
// so a failed test leaves nothing behind. (A windowless suite program is a
// copy of HoldOpen.)
#include <windows.h>

#include <string>

#include "platform/FileSystem.h"

namespace {

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
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4 || std::wstring(argv[1]) != L"/window") {
        return 2;
    }
    g_closedFile = argv[3];
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrvSuiteLookalike";
    ::RegisterClassW(&windowClass);
    if (::CreateWindowExW(0, windowClass.lpszClassName, L"Suite look-alike", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                          nullptr, nullptr, windowClass.hInstance, nullptr) == nullptr ||
        !WriteMarker(argv[2])) {
        return 3;
    }
    ::SetTimer(nullptr, 0, 120000, nullptr);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            return 5;
        }
        ::DispatchMessageW(&message);
    }
    return 0;
}

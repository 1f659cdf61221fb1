// Stands in for one of the suite's programs while the updater stops them.
// The tests copy it under a suite name (orvw_lum.exe, ...).
//   SuiteLookalike.exe /window READY-FILE CLOSED-FILE
// It has one top-level window and writes READY-FILE once that exists. When
// a close request is posted to the window, as the updater does, it writes
// CLOSED-FILE and ends by itself; a killed look-alike never writes it. It
// ends on its own after two minutes, so a failed test leaves nothing
// behind. (A windowless suite program is a copy of HoldOpen.)
#include <windows.h>

#include <string>

#include "platform/FileSystem.h"

using namespace orv;

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4 || std::wstring(argv[1]) != L"/window") {
        return 2;
    }
    std::wstring error;
    // A system class will do: a posted close request arrives in the queue.
    if (::CreateWindowExW(0, L"Static", L"Suite look-alike", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                          nullptr, nullptr) == nullptr ||
        !WriteFileDirect(argv[2], "1", 1, error)) {
        return 3;
    }
    ::SetTimer(nullptr, 0, 120000, nullptr);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) {
        if (message.message == WM_CLOSE) {
            return WriteFileDirect(argv[3], "1", 1, error) ? 0 : 4;
        }
        ::DispatchMessageW(&message);
    }
    return 5;
}

// ShowProgressWindow: shows the progress window in the middle of a download
// and holds it there, so a script can take a screenshot of it.
//
// Usage:
//   ShowProgressWindow.exe /ready:FILE /release:FILE [/manifest:FILE]
//                          [/timeout:MS]
//
//   /ready:FILE     written once the window is drawn: key=x,y,width,height
//                   lines (screen pixels) for window, statusText, detailText,
//                   downloadText, downloadBar and overallBar.
//   /release:FILE   the window closes and the program ends once this file
//                   exists.
//   /manifest:FILE  an application manifest to activate first (the
//                   program's own, so the controls come from the same
//                   Common Controls version as in the shipped executable).
//   /timeout:MS     give up waiting for the release file after MS
//                   milliseconds (default 60000).
//
// The window shows: status "Downloading ORV updates...", a detail line,
// the download at 1 MB of 3 MB (bar half full) and the overall bar at one
// package of four.
//
// Exit codes: 0 released; 1 bad command line; 2 not released in time;
// 3 the window or the manifest context could not be made; 4 the ready file
// could not be written.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "ui/ProgressWindow.h"

namespace {

struct Options {
    std::wstring readyFile;
    std::wstring releaseFile;
    std::wstring manifest;
    DWORD timeoutMs = 60000;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (StartsWithNoCase(arg, L"/ready:")) {
            options.readyFile = arg.substr(7);
        } else if (StartsWithNoCase(arg, L"/release:")) {
            options.releaseFile = arg.substr(9);
        } else if (StartsWithNoCase(arg, L"/manifest:")) {
            options.manifest = arg.substr(10);
        } else if (StartsWithNoCase(arg, L"/timeout:")) {
            const std::wstring value = arg.substr(9);
            if (value.empty() || value.find_first_not_of(L"0123456789") != std::wstring::npos || value.size() > 9) {
                return false;
            }
            options.timeoutMs = static_cast<DWORD>(std::stoul(value));
        } else {
            return false;
        }
    }
    return !options.readyFile.empty() && !options.releaseFile.empty();
}

std::wstring Placement(const wchar_t* name, HWND hwnd)
{
    RECT r{};
    ::GetWindowRect(hwnd, &r);
    return std::wstring(name) + L"=" + std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," +
           std::to_wstring(r.right - r.left) + L"," + std::to_wstring(r.bottom - r.top) + L"\n";
}

// Keeps the window drawn and responsive for a while.
void PumpFor(ProgressWindow& ui, DWORD milliseconds)
{
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    while (::GetTickCount64() < end) {
        ui.PumpMessages();
        ::Sleep(10);
    }
}


// Shows the window in its mid-download state until released.
int ShowAndHold(const Options& options)
{
    ProgressWindow ui(false);
    if (!ui.Create()) {
        std::fwprintf(stderr, L"ShowProgressWindow: no window\n");
        return 3;
    }
    // Above whatever other test windows share the desktop, so the screenshot
    // shows this one.
    ::SetWindowPos(ui.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

    ui.SetStatus(L"Downloading ORV updates...");
    ui.SetDetail(L"Package orv-core.zip, version 27.0.0.4 (1 of 4)");
    ui.SetOverallProgress(1, 4);
    ui.BeginDownload();
    ui.SetDownloadProgress(1572864, 3145728);
    PumpFor(ui, 500);

    const std::wstring placements =
        Placement(L"window", ui.window) + Placement(L"statusText", ui.statusText) +
        Placement(L"detailText", ui.detailText) + Placement(L"downloadText", ui.downloadText) +
        Placement(L"downloadBar", ui.downloadBar) + Placement(L"overallBar", ui.overallBar);
    std::wstring error;
    if (!WriteFileAtomic(options.readyFile, placements, error)) {
        std::fwprintf(stderr, L"ShowProgressWindow: cannot write %ls: %ls\n", options.readyFile.c_str(),
                      error.c_str());
        return 4;
    }
    const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
    while (::GetTickCount64() < deadline) {
        if (FileExists(options.releaseFile)) {
            return 0;
        }
        PumpFor(ui, 50);
    }
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fwprintf(stderr, L"usage: ShowProgressWindow /ready:FILE /release:FILE [/manifest:FILE] "
                              L"[/timeout:MS]\n");
        return 1;
    }

    HANDLE context = INVALID_HANDLE_VALUE;
    ULONG_PTR cookie = 0;
    if (!options.manifest.empty()) {
        ACTCTXW request{};
        request.cbSize = sizeof(request);
        request.lpSource = options.manifest.c_str();
        context = ::CreateActCtxW(&request);
        if (context == INVALID_HANDLE_VALUE || !::ActivateActCtx(context, &cookie)) {
            std::fwprintf(stderr, L"ShowProgressWindow: cannot activate %ls: %ls\n", options.manifest.c_str(),
                          Win32ErrorText(::GetLastError()).c_str());
            return 3;
        }
    }

    const int result = ShowAndHold(options);

    if (context != INVALID_HANDLE_VALUE) {
        ::DeactivateActCtx(0, cookie);
        ::ReleaseActCtx(context);
    }
    return result;
}

// ShowProgressWindow: shows the progress window in the middle of a download
// and holds it there, so a script can take a screenshot of it.
//
//   ShowProgressWindow.exe /ready:FILE /release:FILE [/manifest:FILE]
//
// /manifest activates an application manifest first (the program's own, so
// the controls come from the Common Controls version the shipped exe uses).
// Once the window is drawn, FILE of /ready gets key=x,y,width,height lines
// (screen pixels) for window, statusText, detailText, downloadText,
// downloadBar and overallBar. The window shows 1 MB of 3 MB downloaded and
// one package of four done, and the program ends once the /release file
// exists (or after two minutes, with exit code 2).
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/FileSystem.h"
#include "ui/ProgressWindow.h"

namespace {

std::wstring Placement(const wchar_t* name, HWND hwnd)
{
    RECT r{};
    ::GetWindowRect(hwnd, &r);
    return std::wstring(name) + L"=" + std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," +
           std::to_wstring(r.right - r.left) + L"," + std::to_wstring(r.bottom - r.top) + L"\n";
}

int ShowAndHold(const std::wstring& readyFile, const std::wstring& releaseFile)
{
    ProgressWindow ui(false);
    if (!ui.Create()) {
        return 3;
    }
    // Above whatever other windows share the desktop, so the picture shows this one.
    ::SetWindowPos(ui.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ui.SetStatus(L"Downloading ORV updates...");
    ui.SetDetail(L"Package orv-core.zip, version 27.0.0.4 (1 of 4)");
    ui.SetOverallProgress(1, 4);
    ui.BeginDownload();
    ui.SetDownloadProgress(1572864, 3145728);
    const std::wstring placements = Placement(L"window", ui.window) + Placement(L"statusText", ui.statusText) +
                                    Placement(L"detailText", ui.detailText) +
                                    Placement(L"downloadText", ui.downloadText) +
                                    Placement(L"downloadBar", ui.downloadBar) + Placement(L"overallBar", ui.overallBar);
    std::wstring error;
    bool ready = false;
    for (const ULONGLONG deadline = ::GetTickCount64() + 120000; ::GetTickCount64() < deadline; ::Sleep(10)) {
        ui.PumpMessages();
        if (!ready) {
            ::RedrawWindow(ui.window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
            ready = WriteFileAtomic(readyFile, placements, error);
            if (!ready) {
                return 4;
            }
        } else if (FileExists(releaseFile)) {
            return 0;
        }
    }
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring ready, release, manifest;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        for (auto option : {std::make_pair(L"/ready:", &ready), std::make_pair(L"/release:", &release),
                            std::make_pair(L"/manifest:", &manifest)}) {
            if (StartsWithNoCase(arg, option.first)) {
                *option.second = arg.substr(std::wcslen(option.first));
            }
        }
    }
    if (ready.empty() || release.empty()) {
        return 1;
    }
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.lpSource = manifest.c_str();
    HANDLE context = manifest.empty() ? INVALID_HANDLE_VALUE : ::CreateActCtxW(&request);
    ULONG_PTR cookie = 0;
    if (!manifest.empty() && (context == INVALID_HANDLE_VALUE || !::ActivateActCtx(context, &cookie))) {
        return 3;
    }
    const int result = ShowAndHold(ready, release);
    if (context != INVALID_HANDLE_VALUE) {
        ::DeactivateActCtx(0, cookie);
        ::ReleaseActCtx(context);
    }
    return result;
}

#pragma once
// The run's one window: three text lines and two progress bars, plus the
// message boxes. A silent object never creates a window, never touches the
// message queue, and answers every question with No.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Handles.h"
#include "ui/ProgressMath.h"

namespace orv {

class ProgressWindow {
public:
    explicit ProgressWindow(bool silentRun);
    ~ProgressWindow();
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    bool Create();
    void Close();
    void PumpMessages();
    void SetStatus(const std::wstring& text);
    void SetDetail(const std::wstring& text);
    void SetOverallProgress(int32_t done, int32_t total);
    void BeginDownload();
    void SetDownloadProgress(uint32_t received, uint32_t total);
    void EndDownload(bool succeeded);
    int AskYesNo(const std::wstring& text, const std::wstring& caption, unsigned char defaultButtonCode);
    void ShowError(const std::wstring& text);
    void ShowInfo(const std::wstring& text);

    // Work that goes on beside whatever this thread is busy with (the next
    // package's download): every pump does it first, in a silent run too,
    // but never inside itself. An empty callable ends it.
    void SetBackgroundWork(std::function<void()> work) { backgroundWork = std::move(work); }

    // Whether the user closed the window: the run stops at its next package.
    bool CloseRequested() const { return closeRequested; }
    // The top-level window; null when silent, not yet made, or closed.
    HWND Handle() const { return window; }

    // Class name of the top-level window.
    static const wchar_t kWindowClass[];

private:
    bool silent = false;
    bool closeRequested = false;
    std::function<void()> backgroundWork;
    bool inBackgroundWork = false;
    HWND window = nullptr;
    // The window's lines and bars: made with it, gone with it.
    struct Controls {
        HWND statusText, detailText, downloadText, downloadBar, overallBar;
    };
    Controls controls{};

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, int y, int height);

    // The message font made for this window; the controls use it until
    // they are destroyed, so it lives as long as the object.
    UniqueGdiObject font_;
};

} // namespace orv

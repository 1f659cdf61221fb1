#pragma once
// The run's one window: three text lines and two progress bars, plus the
// message boxes. A silent object never creates a window, never touches the
// message queue, and answers every question with No.
#include <windows.h>

#include <cstdint>
#include <string>

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
    void SetDownloadProgress(uint64_t received, uint64_t total);
    void EndDownload(bool succeeded);
    int AskYesNo(const std::wstring& text, const std::wstring& caption, unsigned char defaultButtonCode);
    void ShowError(const std::wstring& text);
    void ShowInfo(const std::wstring& text);

    bool silent = false;
    bool closeRequested = false;
    HWND window = nullptr;
    HWND statusText = nullptr;
    HWND detailText = nullptr;
    HWND downloadText = nullptr;
    HWND downloadBar = nullptr;
    HWND overallBar = nullptr;
};

// Truncating byte-size text: "n bytes", "n KB" or "n MB".
std::wstring FormatByteSize(uint64_t bytes);

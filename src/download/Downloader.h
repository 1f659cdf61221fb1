#pragma once
// Fetches one URL into one file through a fixed ladder of backends (WinHTTP,
// then WinINet, then URLMon; "file://" URLs are copied instead), keeping a
// record of every try. Only a complete (and, for packages, validated) file
// ever reaches the destination.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TraceLog;
class ProgressWindow;

namespace orv {

// One try of one backend. result is "PASS" or the try's error text.
struct DownloadAttempt {
    std::wstring url;
    std::wstring backend;
    std::wstring result;
};

class Downloader {
public:
    Downloader(TraceLog& traceLog, ProgressWindow& progressWindow);
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Appends one attempt per try to attempts (never clears it). True when
    // destination now holds the complete file.
    bool Download(const std::wstring& url, const std::wstring& destination, std::vector<DownloadAttempt>& attempts,
                  bool validateZip);

private:
    friend struct DownloaderTestAccess;

    using Backend = bool (*)(Downloader& downloader, const std::wstring& url, const std::wstring& temporaryPath,
                             std::wstring& error);
    struct BackendEntry {
        const wchar_t* name;
        Backend run;
    };
    static const BackendEntry kBackends[3];

    bool DownloadWinHttp(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);
    bool DownloadWinInet(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);
    bool DownloadLocalFile(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);

    // Runs one try on a worker thread while this thread keeps the progress
    // window alive.
    bool RunAttempt(const std::function<bool()>& attempt);
    void RecordAttempt(const std::wstring& url, const wchar_t* backend, bool succeeded, const std::wstring& error,
                       std::vector<DownloadAttempt>& attempts);

    // Safe from any thread: the only state the worker shares with the caller.
    void StoreProgress(uint64_t received, uint64_t total);

    TraceLog& log;
    ProgressWindow& progress;
    std::atomic<int32_t> bytesReceived{0};
    std::atomic<int32_t> bytesTotal{0};
};

// The third network backend. It needs nothing of the downloader: URLMon
// reports no progress we could use.
bool DownloadUrlMon(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);

// Checks the downloaded temporary file (and validates it as a ZIP package
// when asked), then moves it onto the destination in one step.
bool FinishDownload(const std::wstring& temporaryPath, const std::wstring& destination, bool validateZip,
                    std::wstring& error);

} // namespace orv

#pragma once
// Fetches one URL into one file through a fixed ladder of backends (WinHTTP,
// then WinINet, then URLMon; "file://" URLs are copied instead), keeping a
// record of every try. A download whose connection broke off goes on where
// it stopped, within the try or in a later one. Only a complete (and, for
// packages, validated) file ever reaches the destination.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "download/Resume.h"
#include "download/TryClock.h"

namespace orv {

class TraceLog;
class ProgressWindow;

// The rules that need no system calls (Downloader.cpp): texts of tries
// and log lines, the progress clamp, URL and request-path decisions.
extern const wchar_t kDownloadUserAgent[];
extern const wchar_t kAttemptPassed[];
extern const wchar_t kEmptyResponseText[];
extern const wchar_t kUrlMonEmptyText[];
extern const wchar_t kMissingOrEmptyText[];
extern const wchar_t kInvalidFileUrlText[];
// A try cut off because its download was no longer wanted.
extern const wchar_t kStoppedText[];

// The largest count the progress counters hold (they are signed 32-bit).
constexpr int32_t kMaxProgressCount = 2147483647;

// A byte count as stored for the progress window: counts of 2 GiB and more
// show as kMaxProgressCount; the transfer itself is not limited.
int32_t ClampProgressCount(uint64_t count);

// "file://" in any letter case: such URLs are copied, never fetched.
bool IsFileUrl(const std::wstring& url);

// The request target of a cracked URL: path plus query, or "/" when both
// are empty.
std::wstring RequestPathOf(const std::wstring& urlPath, const std::wstring& extraInfo);

bool IsSuccessStatus(uint32_t status);
std::wstring HttpStatusText(uint32_t status);

// URLMon's failure text, with the HRESULT as eight upper-case hex digits.
std::wstring UrlMonFailureText(uint32_t hresult);

// The trace-log message of one try.
std::wstring AttemptLogMessage(bool succeeded, const std::wstring& backend, const std::wstring& url,
                               const std::wstring& error);

// The refusals of a downloaded file that is not what was announced.
std::wstring SizeMismatchText(uint64_t expected, uint64_t received);
std::wstring HashMismatchText(const std::wstring& expected, const std::wstring& received);
std::wstring ExceededSizeText(uint64_t announced);
std::wstring TimeLimitText(uint64_t seconds);

// No limit on the bytes a try may receive.
constexpr uint64_t kNoSizeCap = UINT64_MAX;

// A try of a package always gets this long, and beyond it as long as its
// size needs at the slowest rate we still wait for.
constexpr uint64_t kMinimumTrySeconds = 600;
constexpr uint64_t kSlowestBytesPerSecond = 16384;

// What a downloaded file must be before it may reach its destination: the
// size and SHA-256 (lower-case hex) a manifest announced, when it did, and
// whatever else its caller checks. A try stops as soon as it receives more
// than that size.
struct ExpectedFile {
    bool sizeKnown = false;
    uint64_t size = 0;
    std::wstring sha256{};
    // What the file must pass besides its size and hash (a package's ZIP
    // check, say); empty when nothing more is asked. False with the
    // refusal's text in error.
    std::function<bool(const std::wstring& path, std::wstring& error)> accept{};
    // The most a try may receive where no size is announced (a manifest).
    uint64_t maxSize = kNoSizeCap;
    // The time one try may take, in seconds; 0: what its size needs (below).
    uint64_t limitSeconds = 0;
};

// The bytes one try may receive: the announced size, or maxSize.
uint64_t TrySizeCap(const ExpectedFile& expected);

// Seconds one try may take: expected's own limit when it names one;
// otherwise long enough for the size at kSlowestBytesPerSecond and never less
// than kMinimumTrySeconds. The size is the announced one or, when none was,
// what the server says it sends (serverSize, 0 while it has said nothing).
uint64_t TryLimitSeconds(const ExpectedFile& expected, uint64_t serverSize);

// One try of one backend. result is "PASS" or the try's error text.
struct DownloadAttempt {
    std::wstring url;
    std::wstring backend;
    std::wstring result;
};

struct TransferJob;

class Downloader {
public:
    Downloader(TraceLog& traceLog, ProgressWindow& progressWindow);
    // A try still running is stopped and waited for: its worker uses this object.
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Appends one attempt per try to attempts (never clears it). True when
    // destination now holds the complete file, as expected.
    bool Download(const std::wstring& url, const std::wstring& destination, std::vector<DownloadAttempt>& attempts,
                  const ExpectedFile& expected);

    // The same download, from the first of urls that delivers it, begun
    // without waiting for it: its tries run on the worker while this thread
    // does other work and calls Service() now and then. One download at a
    // time. Begun ahead, it is stopped in flight once the window is closed;
    // otherwise (and from Finish() on) a try under way may end first.
    void Begin(const std::vector<std::wstring>& urls, const std::wstring& destination, const ExpectedFile& expected,
               bool ahead);
    // Moves the download on without waiting: shows its progress, writes its
    // log lines, records a try that ended and starts the next one. True when
    // no download is under way. Only on the window's thread.
    bool Service();
    // Waits for the download begun last while the window stays alive, and
    // appends its tries to attempts. True when its destination holds the file.
    bool Finish(std::vector<DownloadAttempt>& attempts);

private:
    friend struct DownloaderTestAccess;

    using Backend = bool (*)(Downloader& downloader, const std::wstring& url, const std::wstring& temporaryPath,
                             std::wstring& error);
    struct BackendEntry {
        const wchar_t* name;
        Backend run;
        // It can continue a partial download an earlier try left.
        bool resumes;
    };
    static const BackendEntry kBackends[3];

    bool DownloadWinHttp(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);
    bool DownloadWinInet(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);
    bool DownloadLocalFile(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error);

    // The download under way: its URLs in turn, each through the backends
    // in turn, one try at a time on a worker thread.
    struct Fetch {
        std::vector<std::wstring> urls;
        size_t urlIndex = 0;
        size_t backendIndex = 0;
        std::wstring destination;
        std::wstring temporaryPath;
        std::wstring asidePath;
        ExpectedFile expected;
        std::vector<DownloadAttempt> attempts;
        bool ahead = false;
        bool active = false;
        bool succeeded = false;
        // What was received of the file before and may be continued.
        bool kept = false;
        // The try under way: its backend, where it writes, its work and what
        // the work reports.
        const wchar_t* backend = nullptr;
        std::wstring tryPath;
        bool aside = false;
        std::function<void()> work;
        bool transferred = false;
        std::wstring error;
        bool result = false;
        std::exception_ptr thrown;
        void* worker = nullptr;
    };

    void StartUrl();
    void StartBackend();
    void StartTry(const wchar_t* backend, std::function<bool()> work);
    // The try's thread has ended: records it and goes on with the next.
    void EndTry();
    void Conclude(bool succeeded);
    // What a try that was cut off reports, whatever its last call said.
    std::wstring CutOffText() const;
    void RecordAttempt(const std::wstring& url, const wchar_t* backend, bool succeeded, const std::wstring& error,
                       std::vector<DownloadAttempt>& attempts);

    // Safe from any thread: the counters are what the window shows.
    void StoreProgress(uint64_t received, uint64_t total);

    // The log belongs to the calling thread: a worker leaves its lines (the
    // proxy it chose, a download it resumed) here, and the caller writes them.
    void Notice(const std::wstring& message);
    void LogNotices();

    // Keeps the partial download at temporaryPath when a try of url may
    // continue it (the record beside it says what it is part of); removes
    // it and its record otherwise.
    bool KeepPartial(const std::wstring& url, const ExpectedFile& expected, const std::wstring& temporaryPath);
    void DiscardPartial(const std::wstring& temporaryPath);
    // What the HTTP backends' transfer needs of this try.
    TransferJob JobFor(const std::wstring& temporaryPath);

    TraceLog& log;
    ProgressWindow& progress;
    std::atomic<int32_t> bytesReceived{0};
    std::atomic<int32_t> bytesTotal{0};
    // Set before each download's tries start, read by their worker threads.
    uint64_t sizeCap = kNoSizeCap;
    // Set before each try, read by its worker: where the record of a partial
    // download lives, what it says, and the bytes kept to continue (0: none).
    std::wstring partialRecordPath;
    PartialRecord partialRecord;
    uint64_t partialBytes = 0;

    std::mutex noticeLock;
    std::vector<std::wstring> notices;
    // Only read and written by the worker of one try at a time.
    bool proxyNamed = false;
    bool proxyDetectionFailed = false;
    // The time limit of the try under way, shared with its worker.
    TryClock tryClock;
    Fetch fetch;
    // Service() shows progress, and that pumps the window, which may call
    // Service() again: the inner call does nothing.
    bool servicing = false;
};

// The third network backend. It needs nothing of the downloader: URLMon
// reports no progress we could use, except to stop at sizeCap or once the
// try's clock has run out.
bool DownloadUrlMon(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error,
                    uint64_t sizeCap = kNoSizeCap, const TryClock* clock = nullptr);

// Checks the downloaded temporary file against what is expected of it, then
// moves it onto the destination in one step.
bool FinishDownload(const std::wstring& temporaryPath, const std::wstring& destination, const ExpectedFile& expected,
                    std::wstring& error);

} // namespace orv

// The download ladder: which backends run in which order, what is recorded
// about each try, and how a finished body reaches its destination.
#include <windows.h>

#include <exception>
#include <utility>

#include "download/Downloader.h"
#include "download/HttpTransfer.h"
#include "log/TraceLog.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "ui/ProgressWindow.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

constexpr wchar_t kLocalFileBackend[] = L"LocalFile";
constexpr DWORD kPollMs = 50;

// The worker thread runs one try; the try keeps its own result, or what it
// threw (see StartTry).
DWORD WINAPI RunWork(LPVOID parameter)
{
    (*static_cast<const std::function<void()>*>(parameter))();
    return 0;
}


// The size first: it is cheap, and a file of another size cannot have the
// announced hash.
bool MatchesAnnouncement(const std::wstring& path, const ExpectedFile& expected, std::wstring& error)
{
    const uint64_t size = GetFileSize64(path);
    if (expected.sizeKnown && size != expected.size) {
        error = SizeMismatchText(expected.size, size);
        return false;
    }
    if (expected.sha256.empty()) {
        return true;
    }
    Sha256Digest digest{};
    if (!Sha256File(path, digest)) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    const std::wstring received = LowerHex(digest.data(), digest.size());
    if (received != expected.sha256) {
        error = HashMismatchText(expected.sha256, received);
        return false;
    }
    return true;
}

// The record beside a partial download, read as data; false when there is
// none that we could have written.
bool ReadPartialRecord(const std::wstring& path, PartialRecord& record)
{
    if (!FileExists(path) || GetFileSize64(path) > kMaxPartialRecordBytes) {
        return false;
    }
    try {
        const ByteArray bytes = ReadWholeFile(path);
        return ParsePartialRecord(Utf8ToWide(bytes.data(), bytes.size()), record);
    } catch (const FileReadError&) {
        return false;
    }
}

} // namespace

Downloader::Downloader(TraceLog& traceLog, ProgressWindow& progressWindow) : log(traceLog), progress(progressWindow)
{
}

Downloader::~Downloader()
{
    if (fetch.worker != nullptr) {
        tryClock.Stop();
        tryClock.Enforce();
        ::WaitForSingleObject(fetch.worker, INFINITE);
        ::CloseHandle(fetch.worker);
    }
}

void Downloader::StoreProgress(uint64_t received, uint64_t total)
{
    bytesReceived.store(ClampProgressCount(received));
    bytesTotal.store(ClampProgressCount(total));
}

void Downloader::Notice(const std::wstring& message)
{
    std::lock_guard<std::mutex> hold(noticeLock);
    notices.push_back(message);
}

void Downloader::LogNotices()
{
    std::vector<std::wstring> lines;
    {
        std::lock_guard<std::mutex> hold(noticeLock);
        lines.swap(notices);
    }
    for (const std::wstring& line : lines) {
        log.Info(line);
    }
}

const Downloader::BackendEntry Downloader::kBackends[3] = {
    {L"WinHTTP",
     [](Downloader& self, const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error) {
         return self.DownloadWinHttp(url, temporaryPath, error);
     },
     true},
    {L"WinINet",
     [](Downloader& self, const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error) {
         return self.DownloadWinInet(url, temporaryPath, error);
     },
     true},
    {L"URLMon",
     [](Downloader& self, const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error) {
         return DownloadUrlMon(url, temporaryPath, error, self.sizeCap, &self.tryClock);
     },
     false},
};

bool Downloader::KeepPartial(const std::wstring& url, const ExpectedFile& expected, const std::wstring& temporaryPath)
{
    partialRecord = RecordFor(url, expected);
    partialBytes = 0;
    PartialRecord record;
    const uint64_t bytes = GetFileSize64(temporaryPath);
    // A link in the download folder is never written through.
    if (FileExists(temporaryPath) && !IsReparsePoint(temporaryPath) && bytes <= sizeCap &&
        ReadPartialRecord(partialRecordPath, record) && MayContinue(record, bytes, url, expected)) {
        partialRecord = record;
        partialBytes = bytes;
        return true;
    }
    DiscardPartial(temporaryPath);
    return false;
}

void Downloader::DiscardPartial(const std::wstring& temporaryPath)
{
    DeleteFileIfPresent(temporaryPath);
    DeleteFileIfPresent(partialRecordPath);
}

TransferJob Downloader::JobFor(const std::wstring& temporaryPath)
{
    TransferJob job;
    job.path = temporaryPath;
    job.recordPath = partialRecordPath;
    job.record = partialRecord;
    job.keptBytes = partialBytes;
    job.sizeCap = sizeCap;
    job.progress = [this](uint64_t received, uint64_t total) { StoreProgress(received, total); };
    job.resumed = [this](uint64_t offset) { Notice(ResumedLogMessage(partialRecord.url, offset)); };
    job.expired = [this]() { return tryClock.Expired(); };
    return job;
}

bool Downloader::Download(const std::wstring& url, const std::wstring& destination,
                          std::vector<DownloadAttempt>& attempts, const ExpectedFile& expected)
{
    Begin({url}, destination, expected, false);
    return Finish(attempts);
}

void Downloader::Begin(const std::vector<std::wstring>& urls, const std::wstring& destination,
                       const ExpectedFile& expected, bool ahead)
{
    fetch = Fetch();
    fetch.urls = urls;
    fetch.destination = destination;
    fetch.expected = expected;
    fetch.ahead = ahead;
    fetch.active = true;
    sizeCap = TrySizeCap(expected);
    // The destination is only ever written by the final move, so a failed
    // or interrupted download leaves the previous file as it was.
    fetch.temporaryPath = destination + kDownloadSideSuffix;
    fetch.asidePath = destination + kDownloadAsideSuffix;
    partialRecordPath = destination + kDownloadResumeSuffix;
    CreateDirectories(ParentPath(destination));
    StartUrl();
}

void Downloader::StartUrl()
{
    if (fetch.urlIndex >= fetch.urls.size()) {
        Conclude(false);
        return;
    }
    const std::wstring& url = fetch.urls[fetch.urlIndex];
    if (IsFileUrl(url)) {
        DiscardPartial(fetch.temporaryPath);
        fetch.backendIndex = std::size(kBackends);
        StartTry(kLocalFileBackend, [this, &url]() {
            return DownloadLocalFile(url, fetch.temporaryPath, fetch.error) &&
                   FinishDownload(fetch.temporaryPath, fetch.destination, fetch.expected, fetch.error);
        });
        return;
    }
    // What an earlier try or run received of this file is not fetched again.
    fetch.kept = KeepPartial(url, fetch.expected, fetch.temporaryPath);
    DeleteFileIfPresent(fetch.asidePath);
    fetch.backendIndex = 0;
    StartBackend();
}

void Downloader::StartBackend()
{
    if (fetch.backendIndex >= std::size(kBackends)) {
        ++fetch.urlIndex;
        StartUrl();
        return;
    }
    // A closed window means the user wants out; the try under way was
    // allowed to finish, the next one is not started.
    if (progress.CloseRequested()) {
        Conclude(false);
        return;
    }
    const BackendEntry& backend = kBackends[fetch.backendIndex];
    const std::wstring& url = fetch.urls[fetch.urlIndex];
    // A backend that cannot continue the kept part starts beside it, so
    // that the part outlives a failure of this try too.
    fetch.aside = fetch.kept && !backend.resumes;
    fetch.tryPath = fetch.aside ? fetch.asidePath : fetch.temporaryPath;
    // The detail line belongs to the work the download runs beside.
    if (!fetch.ahead) {
        progress.SetDetail(std::wstring(backend.name) + L" | " + url);
    }
    StartTry(backend.name, [this, &backend, &url]() {
        fetch.transferred = backend.run(*this, url, fetch.tryPath, fetch.error);
        // Whatever the cut-off call reported, the clock ended it.
        if (!fetch.transferred && tryClock.Expired()) {
            fetch.error = CutOffText();
        }
        return fetch.transferred && FinishDownload(fetch.tryPath, fetch.destination, fetch.expected, fetch.error);
    });
}

std::wstring Downloader::CutOffText() const
{
    return tryClock.Stopped() ? std::wstring(kStoppedText) : TimeLimitText(tryClock.LimitSeconds());
}

void Downloader::StartTry(const wchar_t* backend, std::function<bool()> work)
{
    fetch.backend = backend;
    fetch.transferred = false;
    fetch.error.clear();
    fetch.result = false;
    bytesReceived.store(0);
    bytesTotal.store(0);
    tryClock.Start(TryLimitSeconds(fetch.expected, 0));
    progress.BeginDownload();
    fetch.thrown = nullptr;
    // Nothing may leave a thread's function: it would end the process without
    // a word. What a try throws is thrown again on the session's thread when
    // the download's turn comes, where the run's own handlers record it.
    fetch.work = [this, work = std::move(work)]() {
        try {
            fetch.result = work();
        } catch (...) {
            fetch.thrown = std::current_exception();
        }
    };
    fetch.worker = ::CreateThread(nullptr, 0, RunWork, &fetch.work, 0, nullptr);
    if (fetch.worker == nullptr) {
        // Without a thread the try still runs, only without live progress.
        fetch.work();
        EndTry();
    }
}

bool Downloader::Service()
{
    if (servicing) {
        return !fetch.active;
    }
    servicing = true;
    while (fetch.active && fetch.worker != nullptr) {
        const DWORD waited = ::WaitForSingleObject(fetch.worker, 0);
        // The counters are clamped and never negative: they fit the window as they are.
        progress.SetDownloadProgress(static_cast<uint32_t>(bytesReceived.load()),
                                     static_cast<uint32_t>(bytesTotal.load()));
        LogNotices();
        tryClock.SetLimit(TryLimitSeconds(fetch.expected, static_cast<uint64_t>(bytesTotal.load())));
        // The next package's download is nobody's work under way yet: a
        // closed window ends it at once.
        if (fetch.ahead && progress.CloseRequested()) {
            tryClock.Stop();
        }
        tryClock.Enforce();
        if (waited == WAIT_TIMEOUT) {
            break;
        }
        EndTry();
    }
    servicing = false;
    return !fetch.active;
}

void Downloader::EndTry()
{
    if (fetch.worker != nullptr) {
        // fetch belongs to this object: the worker must be gone before it is reused.
        ::WaitForSingleObject(fetch.worker, INFINITE);
        ::CloseHandle(fetch.worker);
        fetch.worker = nullptr;
    }
    const bool succeeded = fetch.result;
    progress.EndDownload(succeeded);
    LogNotices();
    if (fetch.thrown) {
        // The package before may still be installing: it is not cut short,
        // the throw waits for Finish.
        Conclude(false);
        return;
    }
    RecordAttempt(fetch.urls[fetch.urlIndex], fetch.backend, succeeded, fetch.error, fetch.attempts);
    ++fetch.backendIndex;
    if (succeeded) {
        DiscardPartial(fetch.temporaryPath);
        Conclude(true);
        return;
    }
    if (fetch.backend == kLocalFileBackend) {
        // A local file has one way in; after a failed try its part stays
        // for the next download to the same destination to remove.
    } else if (fetch.aside) {
        DeleteFileIfPresent(fetch.tryPath);
    } else if (fetch.transferred) {
        // A whole body that was refused is nothing to continue.
        DiscardPartial(fetch.temporaryPath);
        fetch.kept = false;
    } else {
        fetch.kept = KeepPartial(fetch.urls[fetch.urlIndex], fetch.expected, fetch.temporaryPath);
    }
    StartBackend();
}

void Downloader::Conclude(bool succeeded)
{
    fetch.succeeded = succeeded;
    fetch.active = false;
    fetch.work = nullptr;
}

bool Downloader::Finish(std::vector<DownloadAttempt>& attempts)
{
    // Its turn has come: from now on it is the work under way.
    fetch.ahead = false;
    while (!Service()) {
        // The window lives on this thread, so this thread must keep pumping
        // while the transfer blocks on the worker.
        ::WaitForSingleObject(fetch.worker, kPollMs);
    }
    attempts.insert(attempts.end(), fetch.attempts.begin(), fetch.attempts.end());
    fetch.attempts.clear();
    if (fetch.thrown) {
        std::rethrow_exception(std::exchange(fetch.thrown, nullptr));
    }
    return fetch.succeeded;
}

void Downloader::RecordAttempt(const std::wstring& url, const wchar_t* backend, bool succeeded,
                               const std::wstring& error, std::vector<DownloadAttempt>& attempts)
{
    attempts.push_back(DownloadAttempt{url, backend, succeeded ? std::wstring(kAttemptPassed) : error});
    log.Info(AttemptLogMessage(succeeded, backend, url, error));
}

bool FinishDownload(const std::wstring& temporaryPath, const std::wstring& destination, const ExpectedFile& expected,
                    std::wstring& error)
{
    if (!FileExists(temporaryPath) || GetFileSize64(temporaryPath) == 0) {
        error = kMissingOrEmptyText;
        return false;
    }
    if (!MatchesAnnouncement(temporaryPath, expected, error)) {
        return false;
    }
    if (expected.accept && !expected.accept(temporaryPath, error)) {
        return false;
    }
    // A read-only file from an earlier run must not block its replacement.
    if (FileExists(destination)) {
        ::SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (!::MoveFileExW(temporaryPath.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    return true;
}

} // namespace orv

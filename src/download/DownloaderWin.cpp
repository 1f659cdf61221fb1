// The download ladder: which backends run in which order, what is recorded
// about each try, and how a finished body reaches its destination.
#include <windows.h>

#include <exception>

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

// What the worker thread gets: the try to run and a place for its result,
// or for what it threw.
struct WorkerJob {
    const std::function<bool()>* attempt;
    bool result;
    std::exception_ptr thrown;
};

// Nothing may leave a thread's function: it would end the process without a
// word. What a try throws is thrown again on the session's thread, where the
// run's own handlers record it.
DWORD WINAPI RunWorkerJob(LPVOID parameter)
{
    auto* job = static_cast<WorkerJob*>(parameter);
    try {
        job->result = (*job->attempt)();
    } catch (...) {
        job->thrown = std::current_exception();
    }
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
    sizeCap = TrySizeCap(expected);
    // The destination is only ever written by the final move, so a failed
    // or interrupted download leaves the previous file as it was.
    const std::wstring temporaryPath = destination + kDownloadSideSuffix;
    partialRecordPath = destination + kDownloadResumeSuffix;
    CreateDirectories(ParentPath(destination));

    if (IsFileUrl(url)) {
        DiscardPartial(temporaryPath);
        std::wstring error;
        const bool succeeded = RunAttempt(
            [&]() {
                return DownloadLocalFile(url, temporaryPath, error) &&
                       FinishDownload(temporaryPath, destination, expected, error);
            },
            expected);
        RecordAttempt(url, kLocalFileBackend, succeeded, error, attempts);
        return succeeded;
    }

    // What an earlier try or run received of this file is not fetched again.
    bool kept = KeepPartial(url, expected, temporaryPath);
    const std::wstring asidePath = destination + kDownloadAsideSuffix;
    DeleteFileIfPresent(asidePath);
    for (const BackendEntry& backend : kBackends) {
        // A closed window means the user wants out; the try under way was
        // allowed to finish, the next one is not started.
        if (progress.CloseRequested()) {
            return false;
        }
        // A backend that cannot continue the kept part starts beside it, so
        // that the part outlives a failure of this try too.
        const bool aside = kept && !backend.resumes;
        const std::wstring& tryPath = aside ? asidePath : temporaryPath;
        progress.SetDetail(std::wstring(backend.name) + L" | " + url);
        std::wstring error;
        bool transferred = false;
        const bool succeeded = RunAttempt(
            [&]() {
                transferred = backend.run(*this, url, tryPath, error);
                // Whatever the cut-off call reported, the clock ended it.
                if (!transferred && tryClock.Expired()) {
                    error = TimeLimitText(tryClock.LimitSeconds());
                }
                return transferred && FinishDownload(tryPath, destination, expected, error);
            },
            expected);
        LogNotices();
        RecordAttempt(url, backend.name, succeeded, error, attempts);
        if (succeeded) {
            DiscardPartial(temporaryPath);
            return true;
        }
        if (aside) {
            DeleteFileIfPresent(tryPath);
        } else if (transferred) {
            // A whole body that was refused is nothing to continue.
            DiscardPartial(temporaryPath);
            kept = false;
        } else {
            kept = KeepPartial(url, expected, temporaryPath);
        }
    }
    return false;
}

void Downloader::RecordAttempt(const std::wstring& url, const wchar_t* backend, bool succeeded,
                               const std::wstring& error, std::vector<DownloadAttempt>& attempts)
{
    attempts.push_back(DownloadAttempt{url, backend, succeeded ? std::wstring(kAttemptPassed) : error});
    log.Info(AttemptLogMessage(succeeded, backend, url, error));
}

bool Downloader::RunAttempt(const std::function<bool()>& attempt, const ExpectedFile& expected)
{
    bytesReceived.store(0);
    bytesTotal.store(0);
    tryClock.Start(TryLimitSeconds(expected, 0));
    progress.BeginDownload();

    WorkerJob job{&attempt, false, nullptr};
    UniqueHandle worker(::CreateThread(nullptr, 0, RunWorkerJob, &job, 0, nullptr));
    if (worker) {
        // The window lives on this thread, so this thread must keep pumping
        // while the transfer blocks on the worker.
        for (;;) {
            const DWORD waited = ::WaitForSingleObject(worker.Get(), kPollMs);
            // The counters are clamped and never negative: they fit the window as they are.
            progress.SetDownloadProgress(static_cast<uint32_t>(bytesReceived.load()),
                                         static_cast<uint32_t>(bytesTotal.load()));
            LogNotices();
            tryClock.SetLimit(TryLimitSeconds(expected, static_cast<uint64_t>(bytesTotal.load())));
            tryClock.Enforce();
            if (waited != WAIT_TIMEOUT) {
                break;
            }
        }
        // job belongs to this frame: the worker must be gone before it is.
        ::WaitForSingleObject(worker.Get(), INFINITE);
        worker.Reset();
    } else {
        // Without a thread the try still runs, only without live progress.
        job.result = attempt();
    }
    progress.EndDownload(job.result);
    if (job.thrown) {
        std::rethrow_exception(job.thrown);
    }
    return job.result;
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

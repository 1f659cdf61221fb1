#include "download/HttpTransfer.h"

#include <vector>

#include "download/Downloader.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace orv {

namespace {

// Header texts longer than this are no validators or ranges of ours.
constexpr DWORD kMaxHeaderChars = 1024;

std::wstring HeaderText(const HeaderQuery& query, DWORD header)
{
    wchar_t buffer[kMaxHeaderChars] = {};
    DWORD size = sizeof(buffer);
    return query(header, buffer, size) ? std::wstring(buffer, size / sizeof(wchar_t)) : std::wstring();
}

} // namespace

void ReadAnswer(const HeaderQuery& query, BodyReader read, HttpAnswer& answer)
{
    DWORD size = sizeof(answer.status);
    answer.statusRead = query(kHeaderStatusCode | kHeaderAsNumber, &answer.status, size);
    answer.statusError = answer.statusRead ? 0 : ::GetLastError();
    size = sizeof(answer.length);
    if (!query(kHeaderContentLength | kHeaderAsNumber, &answer.length, size)) {
        // Chunked and close-delimited bodies have no length: progress then
        // shows bytes only.
        answer.length = 0;
    }
    answer.etag = HeaderText(query, kHeaderEtag);
    answer.lastModified = HeaderText(query, kHeaderLastModified);
    answer.contentRange = HeaderText(query, kHeaderContentRange);
    answer.encoded = IsEncodedBody(HeaderText(query, kHeaderContentEncoding));
    answer.read = std::move(read);
}


bool AcceptStatus(bool queried, DWORD status, DWORD queryError, std::wstring& error)
{
    if (queried && IsSuccessStatus(status)) {
        return true;
    }
    if (!queried && status == 0) {
        error = Win32ErrorText(queryError);
    } else {
        error = HttpStatusText(status);
    }
    return false;
}

namespace {

// How the body of one answer ended.
enum class BodyEnd {
    Complete,
    CutShort,  // the connection closed before the length the answer announced
    BrokenOff, // a read failed, or no answer came
    Failed,    // a refusal, a write error, too many bytes: asking again cannot help
};

// The temporary file. It is made only once a body is due, so that a refused
// answer leaves no file.
class PartFile {
public:
    bool StartOver(const std::wstring& path, std::wstring& error)
    {
        if (!file_) {
            file_.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
            return Check(file_.Valid(), error);
        }
        return Check(CutAt(0), error);
    }

    // Opens a kept part to write on after its first `bytes` bytes; an open
    // file is already there.
    bool Continue(const std::wstring& path, uint64_t bytes, std::wstring& error)
    {
        if (file_) {
            return true;
        }
        file_.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
        return Check(file_.Valid() && CutAt(bytes), error);
    }

    bool Write(const void* data, DWORD size, std::wstring& error)
    {
        DWORD written = 0;
        return Check(::WriteFile(file_.Get(), data, size, &written, nullptr) && written == size, error);
    }

    void Close(bool flush)
    {
        if (file_ && flush) {
            ::FlushFileBuffers(file_.Get());
        }
        file_.Reset();
    }

private:
    bool CutAt(uint64_t bytes)
    {
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(bytes);
        return ::SetFilePointerEx(file_.Get(), position, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_.Get());
    }

    static bool Check(bool done, std::wstring& error)
    {
        if (!done) {
            error = Win32ErrorText(::GetLastError());
        }
        return done;
    }

    UniqueFile file_;
};

class Transfer {
public:
    Transfer(const HttpRequest& request, const TransferJob& job) : request_(request), job_(job)
    {
        at_.record = job.record;
        at_.offset = job.keptBytes;
        at_.recorded = job.keptBytes > 0;
    }

    bool Run(std::wstring& error)
    {
        bool continuing = job_.keptBytes > 0;
        for (int resumptions = 0;; ++resumptions) {
            uint64_t got = 0;
            const BodyEnd end = Ask(continuing, got, error);
            // A short body that cannot be continued is taken as it came, as
            // always: the announced size, or the reader of the file, judges it.
            if (end == BodyEnd::Complete || (end == BodyEnd::CutShort && !MayResume(at_.record))) {
                return Finish(error);
            }
            const bool again = end != BodyEnd::Failed && MayResume(at_.record) && got > 0 &&
                               resumptions < kMaxResumptions;
            if (!again) {
                return Stop();
            }
            continuing = true;
        }
    }

private:
    // Where the try stands: the record of what the file is (validator and
    // total as the server gave them), its bytes, and whether the record on
    // disk describes them.
    struct Position {
        PartialRecord record;
        uint64_t offset = 0;
        bool recorded = false;
    };

    // One request and its body.
    BodyEnd Ask(bool continuing, uint64_t& got, std::wstring& error)
    {
        HttpAnswer answer;
        if (!request_(at_.offset, at_.record.validator, answer, error)) {
            return BodyEnd::BrokenOff;
        }
        AnswerUse use = UseOf(answer);
        if (use == AnswerUse::AskWhole) {
            // What we hold belongs to another version of the file.
            at_.offset = 0;
            answer = HttpAnswer{};
            if (!request_(0, std::wstring(), answer, error)) {
                return BodyEnd::BrokenOff;
            }
            use = UseOf(answer);
        }
        if (use == AnswerUse::Refuse) {
            AcceptStatus(answer.statusRead, answer.status, answer.statusError, error);
            return BodyEnd::Failed;
        }
        const bool ready = use == AnswerUse::Append ? ContinueBody(answer, error) : StartBody(answer, error);
        if (!ready) {
            return BodyEnd::Failed;
        }
        if (continuing) {
            job_.resumed(at_.offset);
        }
        return Stream(answer.read, got, error);
    }

    AnswerUse UseOf(const HttpAnswer& answer) const
    {
        return UseOfAnswer(at_.offset, answer.statusRead, answer.status, answer.contentRange, answer.encoded,
                           at_.record.total);
    }

    // The record must never vouch for bytes of another file: the old one
    // goes before the file is emptied, the new one comes before its first byte.
    bool StartBody(const HttpAnswer& answer, std::wstring& error)
    {
        DeleteFileIfPresent(job_.recordPath);
        at_ = Position{};
        at_.record = job_.record;
        at_.record.validator = answer.encoded ? std::wstring() : ChooseValidator(answer.etag, answer.lastModified);
        at_.record.total = answer.length;
        if (!part_.StartOver(job_.path, error)) {
            return false;
        }
        // Offsets into an encoded body mean nothing to the server.
        if (!answer.encoded && MayResume(at_.record)) {
            std::wstring ignored;
            at_.recorded = WriteFileAtomic(job_.recordPath, FormatPartialRecord(at_.record), ignored);
        } else {
            at_.record.validator.clear();
            at_.record.sizeKnown = false;
        }
        job_.progress(0, at_.record.total);
        return true;
    }

    bool ContinueBody(const HttpAnswer& answer, std::wstring& error)
    {
        if (!part_.Continue(job_.path, at_.offset, error)) {
            return false;
        }
        uint64_t first = 0;
        if (at_.record.total == 0) {
            ParseContentRange(answer.contentRange, first, at_.record.total);
        }
        job_.progress(at_.offset, at_.record.total);
        return true;
    }

    BodyEnd Stream(const BodyReader& read, uint64_t& got, std::wstring& error)
    {
        for (;;) {
            DWORD piece = 0;
            // A body that trickles in ends with the try's time; the caller
            // names the reason.
            if (job_.expired && job_.expired()) {
                return BodyEnd::Failed;
            }
            if (!read(buffer_.data(), kBodyBufferBytes, piece)) {
                error = Win32ErrorText(::GetLastError());
                return BodyEnd::BrokenOff;
            }
            if (piece == 0) {
                const uint64_t total = at_.record.total;
                if (total != 0 && at_.offset < total) {
                    error = CutShortText(at_.offset, total);
                    return BodyEnd::CutShort;
                }
                return BodyEnd::Complete;
            }
            if (piece > job_.sizeCap - at_.offset) {
                // Not the file announced: nothing of it is worth keeping.
                at_.recorded = false;
                error = ExceededSizeText(job_.sizeCap);
                return BodyEnd::Failed;
            }
            if (!part_.Write(buffer_.data(), piece, error)) {
                return BodyEnd::Failed;
            }
            at_.offset += piece;
            got += piece;
            job_.progress(at_.offset, at_.record.total);
        }
    }

    bool Finish(std::wstring& error)
    {
        if (at_.offset == 0) {
            error = kEmptyResponseText;
            return Stop();
        }
        part_.Close(true);
        error.clear();
        return true;
    }

    // A part that a later try may continue stays, flushed, with its record;
    // anything else goes.
    bool Stop()
    {
        const bool keep = at_.recorded && at_.offset > 0;
        part_.Close(keep);
        if (!keep) {
            DeleteFileIfPresent(job_.path);
            DeleteFileIfPresent(job_.recordPath);
        }
        return false;
    }

    const HttpRequest& request_;
    const TransferJob& job_;
    Position at_;
    PartFile part_;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(kBodyBufferBytes, 0);
};

} // namespace

bool TransferToFile(const HttpRequest& request, const TransferJob& job, std::wstring& error)
{
    Transfer transfer(request, job);
    return transfer.Run(error);
}

} // namespace orv

#pragma once
// Continuing a download whose connection broke off: the record kept beside a
// partial download, the request that asks for the rest, and what each answer
// of the server means for the bytes already on disk. Pure rules: no Windows
// headers, so they also build natively.
#include <cstdint>
#include <string>

namespace orv {

struct ExpectedFile;

// A try asks for the rest of its body at most this many times.
constexpr int kMaxResumptions = 16;

// The largest record read back; anything longer was not written by us.
constexpr uint64_t kMaxPartialRecordBytes = 65536;

// What a partial download is a part of, kept beside it as "<name>.part.resume"
// so that a later try or run can continue it. It is read back as data only:
// nothing in it ever names a path.
struct PartialRecord {
    std::wstring url;
    // The first answer's strong ETag, or its Last-Modified date when it had
    // no ETag; empty when it had neither.
    std::wstring validator;
    // The size of the whole body as the server gave it; 0 when it did not.
    uint64_t total = 0;
    // What the manifest announced of the file.
    bool sizeKnown = false;
    uint64_t size = 0;
    std::wstring sha256;
};

bool operator==(const PartialRecord& a, const PartialRecord& b);

std::wstring FormatPartialRecord(const PartialRecord& record);
// False for anything FormatPartialRecord would not have written.
bool ParsePartialRecord(const std::wstring& text, PartialRecord& record);

// A record for a download of url that has no bytes yet.
PartialRecord RecordFor(const std::wstring& url, const ExpectedFile& expected);

// Bytes of another file must never be joined to ours: continuing is safe
// only when the server can tell whether the file is still the one we began
// (a validator), or when the announced size and SHA-256 will judge the result.
bool MayResume(const std::wstring& validator, const ExpectedFile& announcement);
bool MayResume(const PartialRecord& record);

// A partial download of `bytes` bytes with this record may be continued by a
// download of url that expects `expected`.
bool MayContinue(const PartialRecord& record, uint64_t bytes, const std::wstring& url, const ExpectedFile& expected);

// The validator If-Range can carry: a strong ETag, else the Last-Modified
// date; a weak ETag cannot vouch for bytes.
std::wstring ChooseValidator(const std::wstring& etag, const std::wstring& lastModified);

// A body the server encoded (gzip and the like) has offsets of its own.
bool IsEncodedBody(const std::wstring& contentEncoding);

// The extra request headers that ask for the body from offset on.
std::wstring RangeRequestHeaders(uint64_t offset, const std::wstring& validator);

// "bytes first-last/total"; false for any other form, a total of "*" included.
bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& total);

// What to do with an answer to a request for the body from offset on (0:
// the whole body), when the whole is known to be total bytes (0: unknown).
enum class AnswerUse {
    FromStart, // the whole body: replaces whatever is on disk
    Append,    // exactly the rest of the body we hold the beginning of
    AskWhole,  // not the rest we asked for: ask for the whole body again
    Refuse,    // a failure status
};
AnswerUse UseOfAnswer(uint64_t offset, bool statusRead, uint32_t status, const std::wstring& contentRange,
                      bool encoded, uint64_t total);

std::wstring ResumedLogMessage(const std::wstring& url, uint64_t offset);

// The refusal of a try whose body ended early and cannot be continued.
std::wstring CutShortText(uint64_t received, uint64_t total);

} // namespace orv

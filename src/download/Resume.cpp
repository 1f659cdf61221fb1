// The rules of continuing a broken-off download that need no system calls.
#include "download/Resume.h"

#include "download/Downloader.h"

#include <vector>

namespace orv {

namespace {

const wchar_t kRecordHeader[] = L"OrvUpdaterW7 partial download 1";
const wchar_t* const kRecordKeys[] = {L"url=", L"validator=", L"total=", L"size=", L"sha256="};
constexpr size_t kRecordLines = 1 + sizeof(kRecordKeys) / sizeof(kRecordKeys[0]);

wchar_t AsciiLower(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsAsciiNoCase(const std::wstring& a, const wchar_t* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == L'\0';
}

// Plain decimal digits that fit 64 bits; nothing else.
bool ParseCount(const std::wstring& text, uint64_t& value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// A value goes into a request header or is compared: no line breaks or other controls.
bool IsPlainText(const std::wstring& text)
{
    for (const wchar_t c : text) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring> SplitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    lines.push_back(text.substr(start));
    return lines;
}

} // namespace

bool operator==(const PartialRecord& a, const PartialRecord& b)
{
    return a.url == b.url && a.validator == b.validator && a.total == b.total && a.sizeKnown == b.sizeKnown &&
           a.size == b.size && a.sha256 == b.sha256;
}

std::wstring FormatPartialRecord(const PartialRecord& record)
{
    const std::wstring values[] = {record.url, record.validator, std::to_wstring(record.total),
                                   record.sizeKnown ? std::to_wstring(record.size) : std::wstring(), record.sha256};
    std::wstring text = kRecordHeader + std::wstring(L"\r\n");
    for (size_t i = 0; i < kRecordLines - 1; ++i) {
        text += kRecordKeys[i] + values[i] + L"\r\n";
    }
    return text;
}

bool ParsePartialRecord(const std::wstring& text, PartialRecord& record)
{
    const std::vector<std::wstring> lines = SplitLines(text);
    if (lines.size() != kRecordLines + 1 || lines[0] != kRecordHeader || !lines.back().empty()) {
        return false;
    }
    std::wstring values[kRecordLines - 1];
    for (size_t i = 0; i < kRecordLines - 1; ++i) {
        const std::wstring key = kRecordKeys[i];
        if (lines[i + 1].compare(0, key.size(), key) != 0 || !IsPlainText(lines[i + 1])) {
            return false;
        }
        values[i] = lines[i + 1].substr(key.size());
    }
    PartialRecord parsed;
    parsed.url = values[0];
    parsed.validator = values[1];
    parsed.sizeKnown = !values[3].empty();
    parsed.sha256 = values[4];
    if (parsed.url.empty() || !ParseCount(values[2], parsed.total) ||
        (parsed.sizeKnown && !ParseCount(values[3], parsed.size))) {
        return false;
    }
    record = parsed;
    return true;
}

PartialRecord RecordFor(const std::wstring& url, const ExpectedFile& expected)
{
    PartialRecord record;
    record.url = url;
    record.sizeKnown = expected.sizeKnown;
    record.size = expected.sizeKnown ? expected.size : 0;
    record.sha256 = expected.sha256;
    return record;
}

bool MayResume(const std::wstring& validator, const ExpectedFile& announcement)
{
    return !validator.empty() || (announcement.sizeKnown && !announcement.sha256.empty());
}

bool MayResume(const PartialRecord& record)
{
    return !record.validator.empty() || (record.sizeKnown && !record.sha256.empty());
}

bool MayContinue(const PartialRecord& record, uint64_t bytes, const std::wstring& url, const ExpectedFile& expected)
{
    // A record of another URL or another announcement belongs to a file we no longer want.
    if (record.url != url || record.sizeKnown != expected.sizeKnown || record.sha256 != expected.sha256 ||
        (expected.sizeKnown && record.size != expected.size) || !MayResume(record)) {
        return false;
    }
    // A part as long as the whole (or longer) has nothing left to ask for.
    return bytes > 0 && (record.total == 0 || bytes < record.total) && (!expected.sizeKnown || bytes < expected.size);
}

std::wstring ChooseValidator(const std::wstring& etag, const std::wstring& lastModified)
{
    if (etag.size() >= 2 && etag.front() == L'"' && etag.back() == L'"' && IsPlainText(etag)) {
        return etag;
    }
    // A weak ETag ("W/...") says the bytes may differ: only the date is left then.
    return IsPlainText(lastModified) ? lastModified : std::wstring();
}

bool IsEncodedBody(const std::wstring& contentEncoding)
{
    return !contentEncoding.empty() && !EqualsAsciiNoCase(contentEncoding, L"identity");
}

std::wstring RangeRequestHeaders(uint64_t offset, const std::wstring& validator)
{
    std::wstring headers = L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n";
    if (!validator.empty()) {
        headers += L"If-Range: " + validator + L"\r\n";
    }
    return headers;
}

bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& total)
{
    static const std::wstring kUnit = L"bytes ";
    const size_t dash = text.find(L'-');
    const size_t slash = text.find(L'/');
    uint64_t last = 0;
    if (text.compare(0, kUnit.size(), kUnit) != 0 || dash == std::wstring::npos || slash == std::wstring::npos ||
        dash > slash || !ParseCount(text.substr(kUnit.size(), dash - kUnit.size()), first) ||
        !ParseCount(text.substr(dash + 1, slash - dash - 1), last) || !ParseCount(text.substr(slash + 1), total)) {
        return false;
    }
    return first <= last && last < total;
}

AnswerUse UseOfAnswer(uint64_t offset, bool statusRead, uint32_t status, const std::wstring& contentRange,
                      bool encoded, uint64_t total)
{
    constexpr uint32_t kPartialContent = 206;
    constexpr uint32_t kRangeNotSatisfiable = 416;
    if (!statusRead || !IsSuccessStatus(status)) {
        // Nothing left at our offset: the file must have changed under us.
        const bool askWhole = statusRead && status == kRangeNotSatisfiable && offset > 0;
        return askWhole ? AnswerUse::AskWhole : AnswerUse::Refuse;
    }
    if (offset == 0 || status != kPartialContent) {
        // A server that ignores Range, or a file that changed, sends it whole.
        return AnswerUse::FromStart;
    }
    uint64_t first = 0;
    uint64_t whole = 0;
    if (encoded || !ParseContentRange(contentRange, first, whole) || first != offset ||
        (total != 0 && whole != total)) {
        return AnswerUse::AskWhole;
    }
    return AnswerUse::Append;
}

std::wstring ResumedLogMessage(const std::wstring& url, uint64_t offset)
{
    return L"Download resumed | URL=" + url + L" | Offset=" + std::to_wstring(offset);
}

std::wstring CutShortText(uint64_t received, uint64_t total)
{
    return L"Connection closed after " + std::to_wstring(received) + L" of " + std::to_wstring(total) + L" bytes.";
}

} // namespace orv

#include "manifest/Authenticity.h"

#include <cstring>

#include "platform/PathText.h"

namespace orv {

const wchar_t kSignatureMissingText[] = L"Manifest signature updater.xml.sig is missing or empty.";
const wchar_t kSignatureMismatchText[] = L"Manifest signature does not match the publisher's key.";
const wchar_t kSerialInvalidText[] = L"Manifest serial is missing or invalid.";
const wchar_t kExpiryInvalidText[] = L"Manifest expiry date is missing or invalid.";
const wchar_t kSerialFileInvalidText[] = L"it holds no serial number";

namespace {

constexpr size_t kScalarBytes = 32;

// One DER INTEGER at der[position], right-aligned into out (32 bytes);
// position moves past it.
bool ReadScalar(const unsigned char* der, size_t size, size_t& position, unsigned char* out)
{
    if (size - position < 3 || der[position] != 0x02) {
        return false;
    }
    size_t length = der[position + 1];
    const unsigned char* value = der + position + 2;
    if (length == 0 || length > kScalarBytes + 1 || length > size - position - 2) {
        return false;
    }
    position += 2 + length;
    // Negative values and padding that is not needed are both refused: DER
    // has exactly one encoding of each value.
    if ((value[0] & 0x80) != 0 || (length > 1 && value[0] == 0 && (value[1] & 0x80) == 0)) {
        return false;
    }
    if (value[0] == 0) {
        ++value;
        --length;
    }
    if (length == 0 || length > kScalarBytes) {
        return false;
    }
    std::memset(out, 0, kScalarBytes);
    std::memcpy(out + kScalarBytes - length, value, length);
    return true;
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

int HexValue(wchar_t c)
{
    if (IsDigit(c)) {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

uint32_t DaysInMonth(uint32_t year, uint32_t month)
{
    static const uint32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The version element's start tag, without "<version" and ">".
std::wstring VersionStartTag(const std::wstring& text)
{
    const std::wstring lower = FoldAsciiCase(text);
    const size_t open = lower.find(L"<version");
    if (open == std::wstring::npos) {
        return std::wstring();
    }
    const size_t close = lower.find(L'>', open);
    const size_t first = open + 8;
    return close == std::wstring::npos ? std::wstring() : text.substr(first, close - first);
}

} // namespace

bool SignatureDerToRaw(const unsigned char* der, size_t size, unsigned char raw[64])
{
    if (size < 2 || der[0] != 0x30 || der[1] >= 0x80 || static_cast<size_t>(der[1]) + 2 != size) {
        return false;
    }
    size_t position = 2;
    return ReadScalar(der, size, position, raw) && ReadScalar(der, size, position, raw + kScalarBytes) &&
           position == size;
}

bool ParseDecimal64(const std::wstring& text, uint64_t& value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t result = 0;
    for (const wchar_t c : text) {
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (!IsDigit(c) || result > (UINT64_MAX - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool ParseSha256Hex(const std::wstring& text, std::wstring& lowerHex)
{
    if (text.size() != 2 * kScalarBytes) {
        return false;
    }
    for (const wchar_t c : text) {
        if (HexValue(c) < 0) {
            return false;
        }
    }
    lowerHex = FoldAsciiCase(text);
    return true;
}

bool ParseIsoDate(const std::wstring& text, uint32_t& dayNumber)
{
    if (text.size() != 10 || text[4] != L'-' || text[7] != L'-') {
        return false;
    }
    uint32_t parts[3] = {0, 0, 0};
    const size_t starts[3] = {0, 5, 8};
    const size_t lengths[3] = {4, 2, 2};
    for (size_t part = 0; part < 3; ++part) {
        for (size_t i = starts[part]; i < starts[part] + lengths[part]; ++i) {
            if (!IsDigit(text[i])) {
                return false;
            }
            parts[part] = parts[part] * 10 + static_cast<uint32_t>(text[i] - L'0');
        }
    }
    const uint32_t year = parts[0], month = parts[1], day = parts[2];
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
        return false;
    }
    dayNumber = year * 10000 + month * 100 + day;
    return true;
}

uint64_t ParseAcceptedSerial(const std::wstring& text)
{
    uint64_t serial = 0;
    return ParseDecimal64(TrimWhitespace(text), serial) ? serial : 0;
}

ManifestSeal ReadManifestSeal(const std::wstring& documentText)
{
    ManifestSeal seal;
    const std::wstring tag = VersionStartTag(documentText);
    std::wstring value;
    seal.serialValid = FindTagAttribute(tag, L"serial", value) && ParseDecimal64(value, seal.serial);
    if (FindTagAttribute(tag, L"expires", value)) {
        seal.expiresText = value;
        seal.expiresValid = ParseIsoDate(value, seal.expires);
    }
    return seal;
}

std::wstring CheckManifestSeal(const ManifestSeal& seal, uint64_t acceptedSerial, uint32_t today)
{
    if (!seal.serialValid) {
        return kSerialInvalidText;
    }
    if (seal.serial < acceptedSerial) {
        return L"Manifest serial " + std::to_wstring(seal.serial) + L" is older than the accepted serial " +
               std::to_wstring(acceptedSerial) + L".";
    }
    if (!seal.expiresValid) {
        return kExpiryInvalidText;
    }
    // The manifest is good through the whole of its last day.
    if (today > seal.expires) {
        return L"Manifest expired on " + seal.expiresText + L".";
    }
    return std::wstring();
}

std::wstring SerialUnreadableText(const std::wstring& reason)
{
    return L"Accepted serial file cannot be read: " + reason + L".";
}

std::wstring CheckSignedEntries(const PackageList& list)
{
    for (const PackageEntry& entry : list) {
        if (!entry.sizeKnown || entry.sha256.empty()) {
            return L"Manifest entry " + entry.name + L" has no size or sha256.";
        }
    }
    return std::wstring();
}

} // namespace orv

#pragma once
// Manifests of a build with a publisher's key: accepted only with a valid
// signature of their exact bytes, a serial no older than the highest one
// accepted before, a date they are still good for, and every package's size
// and hash. A build without a key reads manifests as they come.
// The rules (Authenticity.cpp) need no system calls: the signature's
// encoding, the serial and expiry, the package attributes and the texts of
// every refusal; they also build natively. Reading the files and checking
// the signature with the system's cryptography is AuthenticityWin.cpp.
#include <cstddef>
#include <cstdint>
#include <string>

#include "manifest/Manifest.h"

namespace orv {

extern const wchar_t kSignatureMissingText[];
extern const wchar_t kSignatureMismatchText[];
extern const wchar_t kSerialInvalidText[];
extern const wchar_t kExpiryInvalidText[];
extern const wchar_t kSerialFileInvalidText[];

// A DER P-256 signature is at most 72 bytes; a file much larger is not one.
constexpr uint64_t kMaxSignatureBytes = 1024;

// A DER ECDSA signature (SEQUENCE of the INTEGERs r and s) as the 64 bytes
// r||s of a P-256 signature. Strict: minimal lengths and integers, positive
// values of at most 32 bytes, nothing after the sequence.
bool SignatureDerToRaw(const unsigned char* der, size_t size, unsigned char raw[64]);

// 1 to 20 decimal digits and nothing else, within 64 bits.
bool ParseDecimal64(const std::wstring& text, uint64_t& value);
// Exactly 64 hex digits in either case; the value comes back lower-case.
bool ParseSha256Hex(const std::wstring& text, std::wstring& lowerHex);
// "YYYY-MM-DD" naming a real calendar day, as the number YYYYMMDD.
bool ParseIsoDate(const std::wstring& text, uint32_t& dayNumber);

// The highest serial accepted so far, from the text of the install folder's
// serial file; a text that holds no serial counts as none accepted (0).
uint64_t ParseAcceptedSerial(const std::wstring& text);

// The serial and expiry a manifest's version start tag carries.
struct ManifestSeal {
    bool serialValid = false;
    uint64_t serial = 0;
    bool expiresValid = false;
    uint32_t expires = 0;
    std::wstring expiresText;
};
ManifestSeal ReadManifestSeal(const std::wstring& documentText);

// Empty when a manifest of this seal may be accepted after acceptedSerial on
// day today (YYYYMMDD, UTC); otherwise the refusal's text. The serial may
// repeat, so a run against the same manifest works again.
std::wstring CheckManifestSeal(const ManifestSeal& seal, uint64_t acceptedSerial, uint32_t today);

// The refusal of a manifest while the accepted serial's file cannot be read.
std::wstring SerialUnreadableText(const std::wstring& reason);

// Empty when every entry of a signed manifest names its size and SHA-256;
// otherwise the text naming the first that does not.
std::wstring CheckSignedEntries(const PackageList& list);

class TraceLog;

// The signature's file beside a manifest's.
std::wstring SignaturePathOf(const std::wstring& manifestPath);

// Reads the manifest at manifestPath into list, authenticated when the build
// has a key; serial is the accepted manifest's serial (0 without a key).
// False with the reason in error.
bool ReadAuthenticManifest(const std::wstring& manifestPath, const std::wstring& installPath, PackageList& list,
                           uint64_t& serial, std::wstring& error);

// Keeps serial as the highest accepted one in the install folder: the file
// only ever moves upward, and is replaced in one rename only after the
// serial it holds was read.
void RecordAcceptedSerial(const std::wstring& installPath, uint64_t serial, TraceLog& log);

} // namespace orv

#pragma once
// The rules of signed manifests that need no system calls: the signature's
// encoding, the serial and expiry of a manifest, the package attributes and
// the texts of every refusal. No Windows headers here, so these can also be
// built natively.
#include <cstddef>
#include <cstdint>
#include <string>

#include "manifest/Manifest.h"

extern const wchar_t kSignatureMissingText[];
extern const wchar_t kSignatureMismatchText[];
extern const wchar_t kSerialInvalidText[];
extern const wchar_t kExpiryInvalidText[];

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

std::wstring LowerHex(const unsigned char* bytes, size_t size);

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

// Empty when every entry of a signed manifest names its size and SHA-256;
// otherwise the text naming the first that does not.
std::wstring CheckSignedEntries(const PackageList& list);

// The refusals of a downloaded package.
std::wstring SizeMismatchText(uint64_t expected, uint64_t received);
std::wstring HashMismatchText(const std::wstring& expected, const std::wstring& received);
std::wstring ExceededSizeText(uint64_t announced);

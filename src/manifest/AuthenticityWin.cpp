#include "manifest/Authenticity.h"

#include <windows.h>

#include <exception>

#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/PublisherKey.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

// A DER P-256 signature is at most 72 bytes; anything much larger is not one.
constexpr uint64_t kMaxSignatureBytes = 1024;

uint32_t TodayUtc()
{
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return static_cast<uint32_t>(now.wYear) * 10000 + static_cast<uint32_t>(now.wMonth) * 100 + now.wDay;
}

// A missing or unreadable file counts as no serial accepted yet.
uint64_t ReadAcceptedSerial(const std::wstring& installPath)
{
    const std::wstring path = JoinPath(installPath, kSerialFileName);
    uint64_t serial = 0;
    try {
        if (FileExists(path)) {
            const ByteArray bytes = ReadWholeFile(path);
            serial = ParseAcceptedSerial(Utf8ToWide(bytes.data(), bytes.size()));
        }
    } catch (const std::exception&) {
        serial = 0;
    }
    return serial;
}

bool VerifyManifestSignature(const ByteArray& manifest, const std::wstring& signaturePath, std::wstring& error)
{
    const uint64_t size = FileExists(signaturePath) ? GetFileSize64(signaturePath) : 0;
    if (size == 0) {
        error = kSignatureMissingText;
        return false;
    }
    error = kSignatureMismatchText;
    if (size > kMaxSignatureBytes) {
        return false;
    }
    const ByteArray der = ReadWholeFile(signaturePath);
    unsigned char raw[64];
    Sha256Digest digest{};
    return SignatureDerToRaw(der.data(), der.size(), raw) && Sha256Bytes(manifest.data(), manifest.size(), digest) &&
           VerifyP256Signature(kPublisherKey, digest, raw);
}

} // namespace

std::wstring SignaturePathOf(const std::wstring& manifestPath)
{
    return manifestPath + kSignatureSuffix;
}

bool ReadAuthenticManifest(const std::wstring& manifestPath, const std::wstring& installPath, PackageList& list,
                           uint64_t& serial, std::wstring& error)
{
    serial = 0;
    if (!kHasPublisherKey) {
        return ReadManifestFile(manifestPath, list, error);
    }
    list.Clear();
    // One read of the bytes serves the signature check and the parse, so
    // what is parsed is exactly what was signed.
    return RunGuardedManifestRead(
        [&](std::wstring& workError) {
            const ByteArray bytes = ReadWholeFile(manifestPath);
            if (!VerifyManifestSignature(bytes, SignaturePathOf(manifestPath), workError)) {
                return false;
            }
            const std::wstring text = DecodeManifestBytes(bytes);
            if (!ParseManifestText(text, list, workError)) {
                return false;
            }
            const ManifestSeal seal = ReadManifestSeal(text);
            workError = CheckManifestSeal(seal, ReadAcceptedSerial(installPath), TodayUtc());
            if (workError.empty()) {
                workError = CheckSignedEntries(list);
            }
            serial = seal.serial;
            return workError.empty();
        },
        error);
}

void RecordAcceptedSerial(const std::wstring& installPath, uint64_t serial, TraceLog& log)
{
    if (serial <= ReadAcceptedSerial(installPath)) {
        return;
    }
    const std::wstring path = JoinPath(installPath, kSerialFileName);
    std::wstring error;
    if (!WriteFileAtomic(path, std::to_wstring(serial), error)) {
        log.Warn(L"Accepted manifest serial not recorded | " + path + L" | " + error);
    }
}

} // namespace orv

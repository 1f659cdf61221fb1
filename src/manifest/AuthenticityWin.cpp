#include "manifest/Authenticity.h"

#include <windows.h>

#include "log/TraceLog.h"
#include "manifest/ProductProfile.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "platform/PublisherKey.h"
#include "platform/InstallLayout.h"

namespace orv {

namespace {

uint32_t TodayUtc()
{
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return static_cast<uint32_t>(now.wYear) * 10000 + static_cast<uint32_t>(now.wMonth) * 100 + now.wDay;
}

// The highest serial accepted before. Only a file that is not there means
// none yet: one that cannot be read (held open by another program, a folder,
// not a serial) refuses the manifest. Counting it as none would let an older
// manifest in, and its rewrite would then store the lower serial for good.
bool ReadAcceptedSerial(const std::wstring& installPath, uint64_t& serial, std::wstring& error)
{
    serial = 0;
    const std::wstring path = JoinPath(installPath, kSerialFileName);
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        error = SerialUnreadableText(Win32ErrorText(code));
        return false;
    }
    // Twenty digits and a line end fit; a file that fills the buffer is no serial.
    char text[32] = {};
    DWORD read = 0;
    if (!::ReadFile(file.Get(), text, sizeof(text), &read, nullptr)) {
        error = SerialUnreadableText(Win32ErrorText(::GetLastError()));
        return false;
    }
    if (read == sizeof(text) || !ParseDecimal64(TrimWhitespace(Utf8ToWide(text, read)), serial)) {
        error = SerialUnreadableText(kSerialFileInvalidText);
        return false;
    }
    return true;
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
            uint64_t accepted = 0;
            if (!ReadAcceptedSerial(installPath, accepted, workError)) {
                return false;
            }
            const ManifestSeal seal = ReadManifestSeal(text);
            workError = CheckManifestSeal(seal, accepted, TodayUtc());
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
    const std::wstring path = JoinPath(installPath, kSerialFileName);
    uint64_t accepted = 0;
    std::wstring error;
    // Rewritten only over a serial read just now, so it never moves down.
    if (!ReadAcceptedSerial(installPath, accepted, error)) {
        log.Warn(L"Accepted manifest serial not recorded | " + path + L" | " + error);
        return;
    }
    if (serial <= accepted) {
        return;
    }
    if (!WriteFileAtomic(path, std::to_wstring(serial), error)) {
        log.Warn(L"Accepted manifest serial not recorded | " + path + L" | " + error);
    }
}

} // namespace orv

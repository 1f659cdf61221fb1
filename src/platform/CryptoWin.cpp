#include "platform/Crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/Handles.h"

namespace orv {

namespace {

constexpr DWORD kReadChunkBytes = 65536;

void CloseAlgorithm(BCRYPT_ALG_HANDLE handle)
{
    ::BCryptCloseAlgorithmProvider(handle, 0);
}

using UniqueAlgorithm = UniqueResource<HandleTraits<BCRYPT_ALG_HANDLE, &CloseAlgorithm>>;
using UniqueHash = UniqueResource<HandleTraits<BCRYPT_HASH_HANDLE, &::BCryptDestroyHash>>;
using UniqueKey = UniqueResource<HandleTraits<BCRYPT_KEY_HANDLE, &::BCryptDestroyKey>>;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

UniqueAlgorithm OpenAlgorithm(const wchar_t* name)
{
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!Succeeded(::BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0))) {
        return UniqueAlgorithm();
    }
    return UniqueAlgorithm(handle);
}

// Hashes what feed hands over, piece by piece (feed returns false on a
// read failure). The one-call hash of newer systems is not on Windows 7.
bool HashPieces(const std::function<bool(BCRYPT_HASH_HANDLE)>& feed, Sha256Digest& digest)
{
    const UniqueAlgorithm algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE raw = nullptr;
    if (!algorithm || !Succeeded(::BCryptCreateHash(algorithm.Get(), &raw, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    const UniqueHash hash(raw);
    return feed(hash.Get()) &&
           Succeeded(::BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

bool HashData(BCRYPT_HASH_HANDLE hash, const void* data, ULONG size)
{
    return Succeeded(::BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0));
}

} // namespace

bool Sha256Bytes(const void* data, size_t size, Sha256Digest& digest)
{
    return HashPieces(
        [&](BCRYPT_HASH_HANDLE hash) {
            const auto* bytes = static_cast<const unsigned char*>(data);
            for (size_t done = 0; done < size;) {
                const ULONG piece = static_cast<ULONG>(std::min<size_t>(size - done, kReadChunkBytes));
                if (!HashData(hash, bytes + done, piece)) {
                    return false;
                }
                done += piece;
            }
            return true;
        },
        digest);
}

bool Sha256File(const std::wstring& path, Sha256Digest& digest)
{
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return false;
    }
    return HashPieces(
        [&](BCRYPT_HASH_HANDLE hash) {
            std::vector<unsigned char> buffer(kReadChunkBytes);
            for (;;) {
                DWORD read = 0;
                if (!::ReadFile(file.Get(), buffer.data(), kReadChunkBytes, &read, nullptr)) {
                    return false;
                }
                if (read == 0) {
                    return true;
                }
                if (!HashData(hash, buffer.data(), read)) {
                    return false;
                }
            }
        },
        digest);
}

bool VerifyP256Signature(const unsigned char publicKey[64], const Sha256Digest& digest,
                         const unsigned char signature[64])
{
    const UniqueAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!algorithm) {
        return false;
    }
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), publicKey, 64);
    BCRYPT_KEY_HANDLE raw = nullptr;
    if (!Succeeded(::BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &raw, blob, sizeof(blob), 0))) {
        return false;
    }
    const UniqueKey key(raw);
    return Succeeded(::BCryptVerifySignature(key.Get(), nullptr, const_cast<PUCHAR>(digest.data()),
                                             static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature), 64, 0));
}

} // namespace orv

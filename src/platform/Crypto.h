#pragma once
// SHA-256 and ECDSA P-256 verification through the system's own
// cryptography (CNG, bcrypt.dll, present since Windows Vista; CryptoWin.cpp),
// and the hex text of digests (Crypto.cpp, pure).
#include <array>
#include <cstddef>
#include <string>

namespace orv {

using Sha256Digest = std::array<unsigned char, 32>;

// Two lower-case hex digits per byte.
std::wstring LowerHex(const unsigned char* bytes, size_t size);

bool Sha256Bytes(const void* data, size_t size, Sha256Digest& digest);
// Streams the file; false when it cannot be read whole.
bool Sha256File(const std::wstring& path, Sha256Digest& digest);

// Whether signature (r||s, 32 bytes each) signs digest under the P-256 public
// key given as X||Y (32 bytes each).
bool VerifyP256Signature(const unsigned char publicKey[64], const Sha256Digest& digest,
                         const unsigned char signature[64]);

} // namespace orv

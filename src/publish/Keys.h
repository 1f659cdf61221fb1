#pragma once
// The publisher's ECDSA P-256 keys, signatures and digests, through OpenSSL's
// libcrypto. Signatures are DER, as `openssl dgst -sha256 -sign` writes them
// and as the updater reads "updater.xml.sig".
#include <memory>
#include <string>

#include "platform/FileSystem.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace orv {

struct KeyRelease {
    void operator()(EVP_PKEY* key) const;
};
using KeyHandle = std::unique_ptr<EVP_PKEY, KeyRelease>;

// A new key pair as folder/private.pem (readable by its owner only) and
// folder/public.pem; refuses when either file is there already.
bool GenerateKeyPair(const std::string& folder, std::wstring& error);

// A P-256 private or public key from a PEM file; anything else is refused.
bool LoadPrivateKey(const std::string& path, KeyHandle& key, std::wstring& error);
bool LoadPublicKey(const std::string& path, KeyHandle& key, std::wstring& error);

bool SignBytes(EVP_PKEY* key, const ByteArray& data, ByteArray& signature, std::wstring& error);
// Only a signature the updater's own DER reader takes can pass.
bool VerifyBytes(EVP_PKEY* key, const ByteArray& data, const ByteArray& signature);

// Size and SHA-256 (lower-case hex) of a file, streamed.
bool HashFile(const std::string& path, uint64_t& size, std::wstring& sha256, std::wstring& error);

} // namespace orv

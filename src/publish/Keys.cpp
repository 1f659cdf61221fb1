#include "publish/Keys.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "manifest/Authenticity.h"
#include "platform/Crypto.h"
#include "publish/NativeFiles.h"

namespace orv {

namespace {

constexpr size_t kHashPiece = 1 << 20;

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileClose>;

struct DigestRelease {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestHandle = std::unique_ptr<EVP_MD_CTX, DigestRelease>;

std::wstring OpenSslError()
{
    const unsigned long code = ERR_get_error();
    char text[256] = "unknown OpenSSL error";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof(text));
    }
    ERR_clear_error();
    return Wide(text);
}

bool IsP256(EVP_PKEY* key)
{
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") && EVP_PKEY_get_group_name(key, group, sizeof(group), &length) == 1 &&
           std::strcmp(group, "prime256v1") == 0;
}

bool LoadKey(const std::string& path, bool isPrivate, KeyHandle& key, std::wstring& error)
{
    FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = Wide(path) + L": " + Wide(std::strerror(errno));
        return false;
    }
    key.reset(isPrivate ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                        : PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!key || !IsP256(key.get())) {
        error = Wide(path) + (isPrivate ? L": not a PEM P-256 private key" : L": not a PEM P-256 public key");
        return false;
    }
    return true;
}

// The PEM text of a key, private (PKCS#8, unencrypted) or public.
bool KeyPem(EVP_PKEY* key, bool isPrivate, std::string& pem)
{
    BIO* memory = BIO_new(BIO_s_mem());
    const bool written = memory != nullptr && (isPrivate ? PEM_write_bio_PrivateKey(memory, key, nullptr, nullptr,
                                                                                    0, nullptr, nullptr)
                                                         : PEM_write_bio_PUBKEY(memory, key)) == 1;
    char* data = nullptr;
    const long length = written ? BIO_get_mem_data(memory, &data) : 0;
    pem.assign(data != nullptr ? data : "", static_cast<size_t>(length > 0 ? length : 0));
    BIO_free(memory);
    return written;
}

} // namespace

void KeyRelease::operator()(EVP_PKEY* key) const
{
    EVP_PKEY_free(key);
}

bool GenerateKeyPair(const std::string& folder, std::wstring& error)
{
    const std::string privatePath = folder + "/private.pem";
    const std::string publicPath = folder + "/public.pem";
    struct stat info {};
    for (const std::string* path : {&privatePath, &publicPath}) {
        if (::lstat(path->c_str(), &info) == 0) {
            error = Wide(*path) + L": already there; a key pair is never overwritten";
            return false;
        }
    }
    ::mkdir(folder.c_str(), 0700);
    KeyHandle key(EVP_EC_gen("P-256"));
    std::string privatePem, publicPem;
    if (!key || !KeyPem(key.get(), true, privatePem) || !KeyPem(key.get(), false, publicPem)) {
        error = L"cannot make a P-256 key: " + OpenSslError();
        return false;
    }
    if (!WriteNewFile(privatePath, privatePem.data(), privatePem.size(), 0600, error)) {
        return false;
    }
    if (!WriteNewFile(publicPath, publicPem.data(), publicPem.size(), 0644, error)) {
        // Half a pair is no pair: the next try starts from nothing.
        std::remove(privatePath.c_str());
        return false;
    }
    return true;
}

bool LoadPrivateKey(const std::string& path, KeyHandle& key, std::wstring& error)
{
    return LoadKey(path, true, key, error);
}

bool LoadPublicKey(const std::string& path, KeyHandle& key, std::wstring& error)
{
    return LoadKey(path, false, key, error);
}

bool SignBytes(EVP_PKEY* key, const ByteArray& data, ByteArray& signature, std::wstring& error)
{
    DigestHandle context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
        error = L"cannot sign: " + OpenSslError();
        return false;
    }
    signature.resize(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        error = L"cannot sign: " + OpenSslError();
        return false;
    }
    signature.resize(length);
    return true;
}

bool VerifyBytes(EVP_PKEY* key, const ByteArray& data, const ByteArray& signature)
{
    unsigned char raw[64];
    if (!SignatureDerToRaw(signature.data(), signature.size(), raw)) {
        return false;
    }
    DigestHandle context(EVP_MD_CTX_new());
    const bool valid = context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
                       EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                                        data.size()) == 1;
    ERR_clear_error();
    return valid;
}

bool HashFile(const std::string& path, uint64_t& size, std::wstring& sha256, std::wstring& error)
{
    FileHandle file(std::fopen(path.c_str(), "rb"));
    DigestHandle context(EVP_MD_CTX_new());
    if (!file || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        error = Wide(path) + L": cannot be read";
        return false;
    }
    std::vector<unsigned char> piece(kHashPiece);
    size = 0;
    size_t got = 0;
    while ((got = std::fread(piece.data(), 1, piece.size(), file.get())) > 0) {
        EVP_DigestUpdate(context.get(), piece.data(), got);
        size += got;
    }
    Sha256Digest digest{};
    unsigned int length = 0;
    if (std::ferror(file.get()) || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        error = Wide(path) + L": cannot be read";
        return false;
    }
    sha256 = LowerHex(digest.data(), digest.size());
    return true;
}

} // namespace orv

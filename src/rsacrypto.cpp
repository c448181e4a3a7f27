#include "rsacrypto.h"

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

const unsigned long kSaltLength = 8;
const unsigned long kSha1Size = 20;

std::atomic<int> g_sha1Index{-1};
std::atomic<int> g_prngIndex{-1};

// Without the registrations libtomcrypt calls through null math pointers; fail cleanly instead.
void requireInit()
{
    if (g_sha1Index.load() < 0 || g_prngIndex.load() < 0)
        throw crypt_exception("crypto not initialised");
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace

rsa_key* RsaKey::reset()
{
    clear();
    return &m_Key;
}

void RsaKey::clear()
{
    if (m_Valid)
        rsa_free(&m_Key);
    m_Valid = false;
}

void initCrypto()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sha1");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    g_sha1Index = find_hash("sha1");
    g_prngIndex = find_prng("sprng");
}

void checkCryptResult(const char* operation, int result)
{
    if (result != CRYPT_OK)
        throw crypt_exception(std::string(operation) + ": " + error_to_string(result));
}

void importRsaKey(RsaKey& key, const unsigned char* bytes, unsigned long length)
{
    requireInit();
    checkCryptResult("rsa_import", rsa_import(bytes, length, key.reset()));
    key.setValid();
}

bool verifyRsaSha1Digest(RsaKey& key, const unsigned char* digest, const unsigned char* signature,
                         unsigned long signatureLength)
{
    requireInit();
    if (!key.isValid())
        throw crypt_exception("rsa_verify_hash: no key");
    int status = 0;
    checkCryptResult("rsa_verify_hash",
                     rsa_verify_hash_ex(signature, signatureLength, digest, kSha1Size, LTC_PKCS_1_PSS,
                                        g_sha1Index, kSaltLength, &status, key.get()));
    return status == 1;
}

namespace {
void sha1(const unsigned char* message, unsigned long length, unsigned char* digest)
{
    hash_state state;
    sha1_init(&state);
    sha1_process(&state, message, length);
    sha1_done(&state, digest);
}
} // namespace

bool verifyRsaSha1(RsaKey& key, const unsigned char* message, unsigned long messageLength,
                   const unsigned char* signature, unsigned long signatureLength)
{
    unsigned char digest[kSha1Size];
    sha1(message, messageLength, digest);
    return verifyRsaSha1Digest(key, digest, signature, signatureLength);
}

void makeRsaKey(RsaKey& key)
{
    requireInit();
    checkCryptResult("rsa_make_key", rsa_make_key(nullptr, g_prngIndex, 128, 65537, key.reset()));
    key.setValid();
}

void signRsaSha1(RsaKey& key, const unsigned char* message, unsigned long messageLength,
                 unsigned char* signature, unsigned long* signatureLength)
{
    requireInit();
    if (!key.isValid())
        throw crypt_exception("rsa_sign_hash: no key");
    unsigned char digest[kSha1Size];
    sha1(message, messageLength, digest);
    checkCryptResult("rsa_sign_hash",
                     rsa_sign_hash_ex(digest, kSha1Size, signature, signatureLength, LTC_PKCS_1_PSS,
                                      nullptr, g_prngIndex, g_sha1Index, kSaltLength, key.get()));
}

void exportRsaKeyToFile(RsaKey& key, int keyType, const std::string& path)
{
    if (!key.isValid())
        throw crypt_exception("rsa_export: no key");
    std::vector<unsigned char> block(kBuiltinRsaKeyBlockSize, 0);
    unsigned long length = block.size();
    checkCryptResult("rsa_export", rsa_export(block.data(), &length, keyType, key.get()));
    writeWholeFile(path, block.data(), block.size());
}

void importRsaKeyFromFile(RsaKey& key, const std::string& path)
{
    const std::vector<unsigned char> block = readWholeFile(path, kBuiltinRsaKeyBlockSize);
    importRsaKey(key, block.data(), block.size());
}

std::vector<unsigned char> readWholeFile(const std::string& path, unsigned long maxSize)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        throw crypt_exception("Cannot open file for reading: " + path);
    std::vector<unsigned char> buffer(maxSize);
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
    if (std::ferror(f.get()))
        throw crypt_exception("Cannot read file: " + path);
    buffer.resize(n);
    return buffer;
}

void writeWholeFile(const std::string& path, const unsigned char* buffer, unsigned long length)
{
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f)
        throw crypt_exception("Cannot open file for writing: " + path);
    const bool written = std::fwrite(buffer, 1, length, f.get()) == length;
    if (std::fclose(f.release()) != 0 || !written)
        throw crypt_exception("Cannot write file: " + path);
}

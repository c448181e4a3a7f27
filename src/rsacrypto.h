// RSA-PSS signatures over SHA-1 with libtomcrypt (libtommath as its big-number engine): crypto
// registration, key import and verification for the updater, and the signing side for release
// tooling and tests.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include <tomcrypt.h>

// Thrown by every operation of this layer on failure; the text names the operation.
class crypt_exception : public std::exception {
public:
    explicit crypt_exception(std::string message) : m_Message(std::move(message)) {}
    const char* what() const noexcept override { return m_Message.c_str(); }

private:
    std::string m_Message;
};

// An RSA key that frees itself.
class RsaKey {
public:
    RsaKey() = default;
    ~RsaKey() { clear(); }
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    bool isValid() const { return m_Valid; }
    rsa_key* get() { return &m_Key; }
    // Frees the current key and hands out the structure for a new one.
    rsa_key* reset();
    void setValid() { m_Valid = true; }
    void clear();

private:
    rsa_key m_Key{};
    bool m_Valid = false;
};

// Size of the block that holds the built-in verification key; the key's DER starts it.
constexpr unsigned long kBuiltinRsaKeyBlockSize = 2048;
// The deployer's public key (DER RSAPublicKey) followed by zero bytes, chosen at build time.
extern const unsigned char g_builtinRsaKey[kBuiltinRsaKeyBlockSize];

// Registers SHA-1, the system PRNG and the big-number engine. Call once before any other
// operation; safe to call again.
void initCrypto();
// Throws crypt_exception "<operation>: <libtomcrypt's text>" unless result is CRYPT_OK.
void checkCryptResult(const char* operation, int result);

void importRsaKey(RsaKey& key, const unsigned char* bytes, unsigned long length);
// True when `signature` is a valid PSS signature (SHA-1, salt 8) of `message`.
bool verifyRsaSha1(RsaKey& key, const unsigned char* message, unsigned long messageLength,
                   const unsigned char* signature, unsigned long signatureLength);
// The same for a message whose 20-byte SHA-1 digest is already known.
bool verifyRsaSha1Digest(RsaKey& key, const unsigned char* digest, const unsigned char* signature,
                         unsigned long signatureLength);

// Signing side: nothing in the updater calls these.
void makeRsaKey(RsaKey& key);
// `signatureLength` holds the room in `signature` and receives the length written.
void signRsaSha1(RsaKey& key, const unsigned char* message, unsigned long messageLength,
                 unsigned char* signature, unsigned long* signatureLength);
// Writes the DER export (PK_PUBLIC or PK_PRIVATE) into a zero-filled block of 2048 bytes.
void exportRsaKeyToFile(RsaKey& key, int keyType, const std::string& path);
void importRsaKeyFromFile(RsaKey& key, const std::string& path);
// Reads at most `maxSize` bytes.
std::vector<unsigned char> readWholeFile(const std::string& path, unsigned long maxSize);
void writeWholeFile(const std::string& path, const unsigned char* buffer, unsigned long length);

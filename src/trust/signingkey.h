#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// The publisher's Ed25519 key: made, stored as PKCS#8 PEM (what
// `openssl genpkey -algorithm ed25519` writes) and used to sign.
class SigningKey
{
public:
    SigningKey();
    ~SigningKey();
    SigningKey(SigningKey &&) noexcept;
    SigningKey &operator=(SigningKey &&) noexcept;

    bool isNull() const { return !m_key; }

    // A new random key.
    static bool generate(SigningKey &key, QString &error);
    // Reads a PEM private key; refuses anything but Ed25519. An encrypted
    // key needs passphrase (null: none was given, and the text says so).
    static bool load(const QString &path, SigningKey &key, QString &error,
                     const QByteArray *passphrase = nullptr);
    // Writes the key as PKCS#8 PEM to a new file that only its owner may
    // read; an existing file is never replaced.
    bool save(const QString &path, QString &error) const;

    // base64 of the 32-byte raw public key: the value of PublicKey=.
    QString publicKeyBase64() const;
    bool sign(const QByteArray &message, QByteArray &signature, QString &error) const;

private:
    struct Free
    {
        void operator()(EVP_PKEY *key) const;
    };
    std::unique_ptr<EVP_PKEY, Free> m_key;
};

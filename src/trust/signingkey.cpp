#include "signingkey.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#ifdef Q_OS_WIN
#include <io.h>
#include <fcntl.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString opensslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unknown OpenSSL error");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// Creates path for writing with owner-only permissions; fails if it exists.
int createPrivateFile(const QString &path)
{
#ifdef Q_OS_WIN
    return _wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                  _S_IREAD | _S_IWRITE);
#else
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
#endif
}

// What the PEM reader's password callback was given and whether it asked.
struct PassphraseRequest
{
    const QByteArray *passphrase = nullptr;
    bool asked = false;
};

int providePassphrase(char *buffer, int size, int, void *data)
{
    auto *request = static_cast<PassphraseRequest *>(data);
    request->asked = true;
    if (!request->passphrase || request->passphrase->size() > size)
        return -1;
    std::memcpy(buffer, request->passphrase->constData(), size_t(request->passphrase->size()));
    return request->passphrase->size();
}

} // namespace

void SigningKey::Free::operator()(EVP_PKEY *key) const
{
    EVP_PKEY_free(key);
}

SigningKey::SigningKey() = default;
SigningKey::~SigningKey() = default;
SigningKey::SigningKey(SigningKey &&) noexcept = default;
SigningKey &SigningKey::operator=(SigningKey &&) noexcept = default;

bool SigningKey::generate(SigningKey &key, QString &error)
{
    EVP_PKEY *made = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!made) {
        error = QStringLiteral("cannot make a key: ") + opensslError();
        return false;
    }
    key.m_key.reset(made);
    return true;
}

bool SigningKey::load(const QString &path, SigningKey &key, QString &error, const QByteArray *passphrase)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the signing key %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    // Without a callback OpenSSL would prompt on the terminal.
    PassphraseRequest request;
    request.passphrase = passphrase;
    EVP_PKEY *read = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, providePassphrase, &request) : nullptr;
    if (!read) {
        ERR_clear_error();
        if (request.asked && !passphrase)
            error = QStringLiteral("%1 is an encrypted private key: give its passphrase in an environment "
                                   "variable named by --sign-key-pass-env").arg(path);
        else if (request.asked)
            error = QStringLiteral("cannot decrypt the signing key %1: wrong passphrase").arg(path);
        else
            error = QStringLiteral("%1 is not a PEM private key").arg(path);
        return false;
    }
    key.m_key.reset(read);
    if (EVP_PKEY_get_id(read) != EVP_PKEY_ED25519) {
        key.m_key.reset();
        error = QStringLiteral("%1 is not an Ed25519 private key").arg(path);
        return false;
    }
    return true;
}

bool SigningKey::save(const QString &path, QString &error) const
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        error = QStringLiteral("cannot encode the key: ") + opensslError();
        return false;
    }
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    const QByteArray pem(data, int(size));

    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        error = QStringLiteral("%1 already exists; it is never overwritten").arg(path);
        return false;
    }
    const int fd = createPrivateFile(path);
    if (fd < 0) {
        error = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) || file.write(pem) != pem.size()
        || !file.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        file.close();
        QFile::remove(path);
        return false;
    }
    file.close();
    return true;
}

QString SigningKey::publicKeyBase64() const
{
    unsigned char raw[32];
    size_t length = sizeof raw;
    if (!m_key || EVP_PKEY_get_raw_public_key(m_key.get(), raw, &length) != 1 || length != sizeof raw)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(raw), int(length)).toBase64());
}

bool SigningKey::sign(const QByteArray &message, QByteArray &signature, QString &error) const
{
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named.
    if (!m_key || !context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, m_key.get()) != 1) {
        error = QStringLiteral("cannot sign: ") + opensslError();
        return false;
    }
    size_t length = 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(message.constData());
    if (EVP_DigestSign(context.get(), nullptr, &length, bytes, size_t(message.size())) != 1) {
        error = QStringLiteral("cannot sign: ") + opensslError();
        return false;
    }
    signature.resize(int(length));
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length, bytes,
                       size_t(message.size()))
        != 1) {
        error = QStringLiteral("cannot sign: ") + opensslError();
        return false;
    }
    signature.resize(int(length));
    return true;
}

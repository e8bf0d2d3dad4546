#include "releasesignature.h"

#include "config/constants.h"
#include "versionfile.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>

#include <memory>

namespace {

constexpr int kRawKeySize = 32;
constexpr int kSignatureSize = 64;
const QString kTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ssZ");

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

bool isLowerHex(const QString &text, int length)
{
    if (text.size() != length)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

// Strict base64: QByteArray::fromBase64 skips characters it does not know,
// so the text is encoded again and compared.
bool decodeBase64Exactly(const QString &text, QByteArray &bytes)
{
    const QByteArray latin = text.toLatin1();
    if (QString::fromLatin1(latin) != text)
        return false;
    const auto result = QByteArray::fromBase64Encoding(latin, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    bytes = result.decoded;
    return bytes.toBase64() == latin;
}

} // namespace

QByteArray releaseMessage(const QString &folder, const QString &version, const QString &manifest,
                          const QString &published)
{
    return QByteArrayLiteral("updater release\nFolder=") + folder.toUtf8() + QByteArrayLiteral("\nVersion=")
        + version.toUtf8() + QByteArrayLiteral("\nManifest=") + manifest.toUtf8()
        + QByteArrayLiteral("\nPublished=") + published.toUtf8() + QByteArrayLiteral("\n");
}

SignedRelease signedReleaseFrom(const VersionFile &file)
{
    SignedRelease release;
    release.folder = file.value(kKeyVersionFolder);
    release.version = file.value(kKeyVersionVersion);
    release.manifest = file.value(kKeyVersionManifest);
    release.published = file.value(kKeyVersionPublished);
    release.signature = file.value(kKeyVersionSignature);
    return release;
}

SignedRelease readSignedRelease(const QString &iniPath)
{
    return signedReleaseFrom(VersionFile::read(iniPath));
}

QDateTime parsePublishedTime(const QString &text)
{
    QDateTime time = QDateTime::fromString(text, kTimeFormat);
    if (!time.isValid())
        return QDateTime();
    time.setTimeSpec(Qt::UTC);
    // Rejects what the parser tolerated (e.g. out-of-range fields rolled over).
    return formatPublishedTime(time) == text ? time : QDateTime();
}

QString formatPublishedTime(const QDateTime &time)
{
    return time.toUTC().toString(kTimeFormat);
}

bool decodePublicKey(const QString &text, QByteArray &rawKey, QString &error)
{
    QByteArray bytes;
    if (!decodeBase64Exactly(text.trimmed(), bytes) || bytes.size() != kRawKeySize) {
        error = QStringLiteral("system.cfg的PublicKey不是32字节公钥的base64");
        return false;
    }
    rawKey = bytes;
    return true;
}

bool verifyRelease(const QByteArray &rawKey, const SignedRelease &release, QString &error)
{
    if (release.signature.isEmpty()) {
        error = QStringLiteral("update.ini没有Signature");
        return false;
    }
    if (release.manifest.isEmpty() || release.published.isEmpty()) {
        error = QStringLiteral("update.ini缺少Manifest或Published");
        return false;
    }
    QByteArray signature;
    if (!decodeBase64Exactly(release.signature, signature) || signature.size() != kSignatureSize) {
        error = QStringLiteral("Signature不是64字节签名的base64");
        return false;
    }

    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(rawKey.constData()), size_t(rawKey.size())));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        error = QStringLiteral("无法使用公钥");
        return false;
    }
    const QByteArray message = releaseMessage(release.folder, release.version, release.manifest, release.published);
    if (EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                         size_t(signature.size()), reinterpret_cast<const unsigned char *>(message.constData()),
                         size_t(message.size()))
        != 1) {
        error = QStringLiteral("签名与公钥或内容不符");
        return false;
    }
    // Signed, so the publisher wrote these; still never trusted blindly.
    if (!isLowerHex(release.manifest, 64)) {
        error = QStringLiteral("Manifest不是SHA-256");
        return false;
    }
    if (!parsePublishedTime(release.published).isValid()) {
        error = QStringLiteral("Published不是UTC时间:") + release.published;
        return false;
    }
    return true;
}

bool acceptSignedRelease(const QString &publicKeyText, const QString &serverIniPath,
                         const QString &recordPath, const QDateTime &now, SignedRelease &accepted,
                         QString &error)
{
    const QString invalid = QStringLiteral("签名无效:");
    QByteArray rawKey;
    QString reason;
    if (!decodePublicKey(publicKeyText, rawKey, reason)) {
        error = invalid + reason;
        return false;
    }
    const SignedRelease release = readSignedRelease(serverIniPath);
    if (!verifyRelease(rawKey, release, reason)) {
        error = invalid + reason;
        return false;
    }
    // Installed, it would become the floor for every later release.
    if (parsePublishedTime(release.published) > now.toUTC().addSecs(kMaxPublishedAheadSecs)) {
        error = QStringLiteral("发布时间在未来:") + release.published + QStringLiteral("（本机时钟可能不正确）");
        return false;
    }

    // A record of an unsigned install has no time: nothing to compare with.
    if (QFileInfo(recordPath).isFile()) {
        const QString recorded = VersionFile::read(recordPath).value(kKeyVersionPublished);
        if (!recorded.isEmpty()) {
            const QDateTime recordedTime = parsePublishedTime(recorded);
            if (!recordedTime.isValid()) {
                error = QStringLiteral("本地版本记录的Published无效:") + recorded;
                return false;
            }
            if (parsePublishedTime(release.published) < recordedTime) {
                error = QStringLiteral("发布时间早于已安装版本:") + release.published + QStringLiteral(" < ")
                    + recorded;
                return false;
            }
        }
    }
    accepted = release;
    return true;
}

QString manifestBindingProblem(const QString &manifestPath, const QString &expectedSha256, bool signedRelease,
                               bool lengthStated)
{
    const QString failed = QStringLiteral("清单校验失败:");
    if (expectedSha256.isEmpty()) {
        if (lengthStated)
            return QString();
        return failed + QStringLiteral("服务器未给出md5.txt的长度（没有Content-Length，也未分块传输），无法判断它是否完整");
    }
    const QString expected = expectedSha256.toLower();
    if (!isLowerHex(expected, 64))
        return failed + QStringLiteral("update.ini的Manifest不是SHA-256:") + expectedSha256;
    const QString actual = fileSha256Hex(manifestPath);
    if (actual.isEmpty())
        return failed + QStringLiteral("无法读取") + manifestPath;
    if (actual == expected)
        return QString();
    return failed + QStringLiteral("SHA-256为") + actual
        + (signedRelease ? QStringLiteral("，签名的是") : QStringLiteral("，update.ini中的是")) + expectedSha256;
}

QString fileSha256Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return QString();
    QByteArray buffer;
    while (!(buffer = file.read(1024 * 1024)).isEmpty()) {
        if (EVP_DigestUpdate(context.get(), buffer.constData(), size_t(buffer.size())) != 1)
            return QString();
    }
    if (file.error() != QFileDevice::NoError)
        return QString();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

QString sha256Hex(const QByteArray &bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &length, EVP_sha256(), nullptr) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

QByteArray signedVersionFileBytes(const SignedRelease &release)
{
    return QByteArrayLiteral("[Version]\nFolder=") + release.folder.toUtf8() + QByteArrayLiteral("\nVersion=")
        + release.version.toUtf8() + QByteArrayLiteral("\nManifest=") + release.manifest.toUtf8()
        + QByteArrayLiteral("\nPublished=") + release.published.toUtf8() + QByteArrayLiteral("\nSignature=")
        + release.signature.toUtf8() + QByteArrayLiteral("\n");
}

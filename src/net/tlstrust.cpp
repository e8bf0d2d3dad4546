#include "tlstrust.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "fs/safefs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslError>

namespace {

const char kCertificateErrorsProperty[] = "updaterCertificateErrors";
// Far above any bundle of root certificates (the system's is under 1 MiB).
constexpr qint64 kCaFileLimit = 16 * 1024 * 1024;

struct Trust
{
    bool pinned = false;
    QString error;
    QSslConfiguration configuration;
};

// The store is read once per run; tests change it in-process, so the
// result is kept per value rather than once for good.
const Trust &currentTrust()
{
    static bool cached = false;
    static QString cachedFor;
    static bool cachedPinned = false;
    static Trust trust;

    SettingsStore &settings = SettingsStore::instance();
    const bool pinned = settings.isSet(kKeyCaFile);
    const QString value = pinned ? settings.value(kKeyCaFile) : QString();
    if (cached && pinned == cachedPinned && value == cachedFor)
        return trust;

    cached = true;
    cachedFor = value;
    cachedPinned = pinned;
    trust = Trust();
    trust.pinned = pinned;
    if (!pinned)
        return trust;

    const QString path = resolveCaFilePath(QCoreApplication::applicationDirPath() + QLatin1Char('/'), value);
    QList<QSslCertificate> certificates;
    if (!loadCaCertificates(path, certificates, trust.error))
        return trust;
    trust.configuration = QSslConfiguration::defaultConfiguration();
    // Also turns off Qt's loading of system roots on demand.
    trust.configuration.setCaCertificates(certificates);
    return trust;
}

} // namespace

QString resolveCaFilePath(const QString &appDir, const QString &path)
{
    if (path.isEmpty())
        return path;
    const QString cleaned = QDir::fromNativeSeparators(path);
    return QDir::isAbsolutePath(cleaned) ? cleaned : appDir + cleaned;
}

bool loadCaCertificates(const QString &path, QList<QSslCertificate> &certificates, QString &error)
{
    certificates.clear();
    if (path.isEmpty()) {
        error = QStringLiteral("CA证书文件未指定(CaFile为空)");
        return false;
    }
    // Opened without waiting or following a link, and capped: a FIFO, a
    // device or a folder named here fails with a text instead of blocking
    // or reading for ever.
    QByteArray pem;
    QString problem;
    if (!readRegularFile(path, kCaFileLimit, pem, problem)) {
        error = QStringLiteral("无法读取CA证书文件:") + path + QStringLiteral("(") + problem + QStringLiteral(")");
        return false;
    }
    certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    if (certificates.isEmpty()) {
        error = QStringLiteral("CA证书文件中没有证书:") + path;
        return false;
    }
    return true;
}

QString trustSetupError()
{
    return currentTrust().error;
}

void applyTrust(QNetworkRequest &request)
{
    const Trust &trust = currentTrust();
    if (trust.pinned && trust.error.isNull())
        request.setSslConfiguration(trust.configuration);
}

void noteCertificateErrors(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts << error.errorString();
        reply->setProperty(kCertificateErrorsProperty, texts.join(QStringLiteral("; ")));
    });
}

QString trustFailureText(const QNetworkReply *reply)
{
    const QString noted = reply->property(kCertificateErrorsProperty).toString();
    return noted.isEmpty() ? reply->errorString() : reply->errorString() + QStringLiteral(": ") + noted;
}

#include "doctor.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "delta/deltaindex.h"
#include "manifest/filemanifest.h"
#include "manifest/manifestformat.h"
#include "net/proxysetting.h"
#include "net/tlstrust.h"
#include "net/transfer.h"
#include "trust/releasesignature.h"
#include "trust/versionfile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

namespace {

// One answer as a client would receive it.
struct Fetched
{
    QString url;
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    QByteArray body; // control files only
    qint64 size = 0;
    QString md5;
    QByteArray cacheControl;
    QByteArray expires;
    QByteArray date;
    QByteArray encoding;
    QStringList redirects;
    bool lengthStated = false;
    bool cut = false;

    bool ok() const { return error == QNetworkReply::NoError && status == 200 && !cut; }
    QString failure() const
    {
        if (error != QNetworkReply::NoError)
            return errorText;
        if (status != 200)
            return QStringLiteral("HTTP status %1").arg(status);
        return QStringLiteral("the body ended before its Content-Length");
    }
};

class Fetcher
{
public:
    Fetcher() { applyProxySetting(m_manager); }

    // deadlineMs > 0: the whole transfer may take that long, as the
    // client's version check allows.
    Fetched get(const QString &url, CachePolicy cache, bool keepBody, int deadlineMs = 0)
    {
        Fetched fetched;
        fetched.url = url;
        QNetworkReply *reply = m_manager.get(makeDownloadRequest(url, cache));
        noteCertificateErrors(reply);
        QCryptographicHash md5(QCryptographicHash::Md5);
        QEventLoop loop;
        QTimer deadline;
        bool late = false;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, [&]() {
            late = true;
            reply->abort();
        });
        if (deadlineMs > 0)
            deadline.start(deadlineMs);
        auto take = [&]() {
            const QByteArray chunk = reply->readAll();
            fetched.size += chunk.size();
            md5.addData(chunk);
            if (keepBody && fetched.body.size() < kMaxControlFileSize)
                fetched.body += chunk;
        };
        QObject::connect(reply, &QNetworkReply::redirected, &loop,
                         [&](const QUrl &to) { fetched.redirects << to.toString(); });
        QObject::connect(reply, &QNetworkReply::readyRead, &loop, take);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        take();
        fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        fetched.error = reply->error();
        fetched.errorText = late ? QStringLiteral("not complete within %1 s, the time a client allows").arg(deadlineMs / 1000)
            : fetched.error == QNetworkReply::SslHandshakeFailedError ? trustFailureText(reply)
                                                                      : reply->errorString();
        fetched.md5 = QString::fromLatin1(md5.result().toHex());
        fetched.cacheControl = reply->rawHeader("Cache-Control");
        fetched.expires = reply->rawHeader("Expires");
        fetched.date = reply->rawHeader("Date");
        fetched.encoding = contentEncoding(reply);
        fetched.lengthStated = bodyLengthStated(reply);
        fetched.cut = endedShort(reply, fetched.size);
        delete reply;
        return fetched;
    }

private:
    QNetworkAccessManager m_manager;
};

// Why a cache on the way may keep this answer, or null when it may not.
QString cacheableReason(const Fetched &fetched)
{
    const QByteArray control = fetched.cacheControl.toLower();
    if (control.contains("no-cache") || control.contains("no-store"))
        return QString();
    for (const QByteArray &part : control.split(',')) {
        const QByteArray directive = part.trimmed();
        for (const char *name : {"max-age=", "s-maxage="}) {
            if (directive.startsWith(name) && directive.mid(int(qstrlen(name))).toLongLong() > 0)
                return QStringLiteral("Cache-Control: ") + QString::fromLatin1(fetched.cacheControl);
        }
    }
    if (fetched.expires.isEmpty())
        return QString();
    const QDateTime expires = QDateTime::fromString(QString::fromLatin1(fetched.expires), Qt::RFC2822Date);
    const QDateTime date = QDateTime::fromString(QString::fromLatin1(fetched.date), Qt::RFC2822Date);
    if (expires.isValid() && expires <= (date.isValid() ? date : QDateTime::currentDateTimeUtc()))
        return QString();
    return QStringLiteral("Expires: ") + QString::fromLatin1(fetched.expires);
}

class Doctor
{
public:
    Doctor(const DoctorOptions &options, const std::function<void(const QString &)> &print)
        : m_options(options), m_print(print)
    {
    }

    bool run();

private:
    void problem(const QString &what, const QString &fix)
    {
        ++m_problems;
        m_print(QStringLiteral("problem: %1: %2").arg(what, fix));
    }
    void note(const QString &text) { m_print(QStringLiteral("note: ") + text); }
    bool fetchControl(const QString &name, const QString &url, Fetched &fetched);
    bool checkVersionFile();
    bool checkManifest(FileManifest &manifest);
    void checkFile(const QString &key, const QString &md5, bool probeDoubled);
    void checkDeltas(const FileManifest &manifest);
    bool saveBody(const QString &name, const QByteArray &body, QString &path);

    const DoctorOptions &m_options;
    const std::function<void(const QString &)> &m_print;
    Fetcher m_fetcher;
    QTemporaryDir m_work;
    int m_problems = 0;
    QString m_folder; // Folder= with its "/"
    QString m_expectedManifest;
    QString m_deltaIndex; // update.ini's Deltas=, empty without
};

bool Doctor::saveBody(const QString &name, const QByteArray &body, QString &path)
{
    path = m_work.filePath(name);
    QFile file(path);
    if (m_work.isValid() && file.open(QIODevice::WriteOnly) && file.write(body) == body.size())
        return true;
    problem(QStringLiteral("cannot keep %1 in a temporary folder").arg(name),
            QStringLiteral("free space in the temporary folder and check again"));
    return false;
}

// The headers that matter for a control file, and whether a client gets it.
// Only update.ini changes under its name: a cached copy of it holds clients back.
bool Doctor::fetchControl(const QString &name, const QString &url, Fetched &fetched)
{
    const bool versionFile = name == kUpdateIniFile;
    fetched = m_fetcher.get(url, CachePolicy::Bypass, true,
                            versionFile ? TransferLimits::versionCheck().deadlineMs : 0);
    for (const QString &to : qAsConst(fetched.redirects))
        note(QStringLiteral("%1 is redirected to %2").arg(name, to));
    if (!fetched.ok()) {
        problem(QStringLiteral("%1 cannot be fetched from %2 (%3)").arg(name, url, fetched.failure()),
                QStringLiteral("upload it there, or give clients the URL= it lies under"));
        return false;
    }
    m_print(QStringLiteral("%1: reachable, %2 bytes").arg(name).arg(fetched.size));
    if (!fetched.encoding.isEmpty()) {
        problem(QStringLiteral("%1 comes compressed (Content-Encoding: %2), clients refuse it")
                    .arg(name, QString::fromLatin1(fetched.encoding)),
                QStringLiteral("turn compression off for the release files (nginx: gzip off)"));
        return false;
    }
    const QString cacheable = cacheableReason(fetched);
    if (!cacheable.isNull() && versionFile)
        problem(QStringLiteral("%1 may be kept by caches (%2): clients behind one see a new release late")
                    .arg(name, cacheable),
                QStringLiteral("serve it with \"Cache-Control: no-cache\" (nginx: expires off)"));
    else if (!cacheable.isNull())
        note(QStringLiteral("%1 may be kept by caches (%2); it never changes once published").arg(name, cacheable));
    return true;
}

bool Doctor::checkVersionFile()
{
    Fetched fetched;
    if (!fetchControl(kUpdateIniFile, m_options.url + kUpdateIniFile, fetched))
        return false;
    QString path;
    if (!saveBody(kUpdateIniFile, fetched.body, path))
        return false;
    const VersionFile file = VersionFile::parse(fetched.body);
    const QString folder = file.value(kKeyVersionFolder);
    const QString version = file.value(kKeyVersionVersion);
    if (folder.isEmpty() || version.isEmpty()) {
        problem(QStringLiteral("update.ini names no Folder= and Version= in [Version]"),
                QStringLiteral("publish the release again with updater-publish"));
        return false;
    }
    m_print(QStringLiteral("update.ini: version %1 in folder %2").arg(version, folder));
    m_folder = folder + QLatin1Char('/');
    m_expectedManifest = file.value(kKeyVersionManifest);
    m_deltaIndex = file.value(kDeltaIndexKey);
    const bool isSigned = !file.value(kKeyVersionSignature).isEmpty();
    if (!m_options.hasPublicKey) {
        if (isSigned)
            note(QStringLiteral("update.ini is signed; give --public-key to check the signature as clients do"));
        return true;
    }
    SignedRelease accepted;
    QString refusal;
    // No record: as a client that has never installed a release.
    if (!acceptSignedRelease(m_options.publicKey, path, m_work.filePath(QStringLiteral("record.ini")),
                             QDateTime::currentDateTimeUtc(), accepted, refusal)) {
        problem(QStringLiteral("clients with this PublicKey= refuse update.ini (%1)").arg(refusal),
                QStringLiteral("publish again with --sign-key and the key whose PublicKey= clients have"));
        return false;
    }
    m_expectedManifest = accepted.manifest;
    m_print(QStringLiteral("update.ini: signature good, published %1").arg(accepted.published));
    return true;
}

bool Doctor::checkManifest(FileManifest &manifest)
{
    Fetched fetched;
    if (!fetchControl(kMd5File, m_options.url + m_folder + kMd5File, fetched))
        return false;
    QString path;
    if (!saveBody(kMd5File, fetched.body, path))
        return false;
    const QString binding
        = manifestBindingProblem(path, m_expectedManifest, m_options.hasPublicKey, fetched.lengthStated);
    if (!binding.isNull()) {
        problem(QStringLiteral("clients refuse md5.txt (%1)").arg(binding),
                QStringLiteral("upload the md5.txt that was published with this update.ini"));
        return false;
    }
    QString error;
    if (!readServerManifest(path, manifest, error)) {
        problem(QStringLiteral("clients refuse md5.txt (%1)").arg(error),
                QStringLiteral("upload the folder's md5.txt as updater-publish wrote it"));
        return false;
    }
    m_print(QStringLiteral("md5.txt: %1 files").arg(manifest.size()));
    return true;
}

void Doctor::checkFile(const QString &key, const QString &md5, bool probeDoubled)
{
    const QString url = composeFileUrl(m_options.url, m_folder, key);
    const QString doubledUrl = composeFileUrl(m_options.url, m_folder + QLatin1Char('/'), key);
    const Fetched fetched = m_fetcher.get(url, CachePolicy::Cacheable, false);
    for (const QString &to : fetched.redirects)
        note(QStringLiteral("%1 is redirected to %2").arg(key, to));
    if (!fetched.ok()) {
        m_print(QStringLiteral("file %1: not reachable at %2 (%3)").arg(key, url, fetched.failure()));
        const Fetched doubled = m_fetcher.get(doubledUrl, CachePolicy::Cacheable, false);
        if (doubled.ok() && doubled.md5 == md5)
            problem(QStringLiteral("%1 is served only at the doubled-slash form %2").arg(key, doubledUrl),
                    QStringLiteral("store the files under <Folder>/<path> with a single slash"));
        else if (fetched.status == 404)
            problem(QStringLiteral("%1 is missing on the server").arg(key),
                    QStringLiteral("upload the whole version folder again"));
        else
            problem(QStringLiteral("%1 cannot be fetched (%2)").arg(key, fetched.failure()),
                    QStringLiteral("make the server answer it with 200 and the file"));
        return;
    }
    m_print(QStringLiteral("file %1: reachable, %2 bytes, MD5 %3").arg(key).arg(fetched.size).arg(fetched.md5));
    if (!fetched.encoding.isEmpty())
        problem(QStringLiteral("%1 comes compressed (Content-Encoding: %2), clients refuse it")
                    .arg(key, QString::fromLatin1(fetched.encoding)),
                QStringLiteral("turn compression off for the release files (nginx: gzip off)"));
    else if (fetched.md5 != md5)
        problem(QStringLiteral("%1 has MD5 %2, md5.txt says %3").arg(key, fetched.md5, md5),
                QStringLiteral("upload the file as published, or publish the version again"));
    if (!probeDoubled)
        return;
    const Fetched doubled = m_fetcher.get(doubledUrl, CachePolicy::Cacheable, false);
    if (doubled.ok() != fetched.ok() || doubled.md5 != fetched.md5)
        note(QStringLiteral("the server treats %1 (status %2) differently from %3; clients ask for the "
                            "single-slash form")
                 .arg(doubledUrl)
                 .arg(doubled.status)
                 .arg(url));
}

// Deltas only save bytes: a client that cannot use one fetches the whole
// file, so what is wrong with them is said, but is no problem.
void Doctor::checkDeltas(const FileManifest &manifest)
{
    const QString url = m_options.url + m_folder + m_deltaIndex;
    const Fetched fetched = m_fetcher.get(url, CachePolicy::Bypass, true);
    if (!fetched.ok()) {
        note(QStringLiteral("update.ini names the delta index %1, but it cannot be fetched from %2 (%3): clients "
                            "download whole files; upload the version folder's %1 and deltas/")
                 .arg(m_deltaIndex, url, fetched.failure()));
        return;
    }
    const DeltaIndex index = DeltaIndex::parse(fetched.body);
    m_print(QStringLiteral("%1: reachable, %2 objects").arg(m_deltaIndex).arg(index.size()));
    QSet<QString> seen;
    for (const QString &md5 : manifest) {
        for (const DeltaObject &object : index.objectsFor(md5)) {
            const QString path = deltaObjectPath(object.newMd5, object.baseMd5);
            if (seen.contains(path))
                continue;
            seen.insert(path);
            const Fetched got = m_fetcher.get(m_options.url + m_folder + path, CachePolicy::Cacheable, false);
            if (!got.ok())
                note(QStringLiteral("delta %1 cannot be fetched (%2): clients download the whole file instead; "
                                    "upload the version folder's deltas/ again")
                         .arg(path, got.failure()));
            else if (got.size != object.size)
                note(QStringLiteral("delta %1 has %2 bytes, %3 says %4: clients download the whole file instead; "
                                    "upload the version folder's deltas/ again")
                         .arg(path)
                         .arg(got.size)
                         .arg(m_deltaIndex)
                         .arg(object.size));
            else
                m_print(QStringLiteral("delta %1: reachable, %2 bytes").arg(path).arg(got.size));
        }
    }
}

bool Doctor::run()
{
    const QString setup = !trustSetupError().isNull() ? trustSetupError() : proxySetupError();
    if (!setup.isNull()) {
        problem(setup, QStringLiteral("give a usable --ca-file or --proxy"));
        return false;
    }
    FileManifest manifest;
    if (checkVersionFile() && checkManifest(manifest)) {
        bool first = true;
        for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it) {
            checkFile(it.key(), it.value().toLower(), first);
            first = false;
        }
        if (!m_deltaIndex.isEmpty())
            checkDeltas(manifest);
    }
    m_print(m_problems == 0 ? QStringLiteral("a client would update cleanly")
                            : QStringLiteral("%1 problem(s): clients would not update cleanly").arg(m_problems));
    return m_problems == 0;
}

} // namespace

bool checkRelease(const DoctorOptions &options, const std::function<void(const QString &)> &print)
{
    // The settings a client would have, whatever lies beside this program.
    SettingsStore &settings = SettingsStore::instance();
    if (options.caFile.isEmpty())
        settings.unsetValue(kKeyCaFile);
    else
        settings.setValue(kKeyCaFile, QDir(options.caFile).absolutePath());
    if (options.hasProxy)
        settings.setValue(kKeyProxy, options.proxy);
    else
        settings.unsetValue(kKeyProxy);
    return Doctor(options, print).run();
}

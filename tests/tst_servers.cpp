// Whole updates against the web servers and proxies vendors and users
// actually have: Debian's nginx, apache2, lighttpd, caddy, python's
// http.server, an object store that keeps keys literally, and squid and
// tinyproxy between the updater and the server.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "localservers.h"
#include "testsupport.h"
#include "update/updatetransaction.h"

#include <QApplication>
#include <QDateTime>
#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kDone = QStringLiteral("更新完成!");
constexpr int kLiteralStore = -1;

// A release with a binary, a compressible text in a sub folder (above
// every server's minimum for compression), a blank and a non-ASCII name.
QMap<QString, QByteArray> releaseFiles(const QByteArray &version)
{
    QByteArray binary;
    for (int i = 0; i < 65536; ++i)
        binary += char((i * 7 + version.at(0)) & 0xff);
    QByteArray text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + QByteArray::number(i) + " of the library, release " + version + "\n";
    return {{"/app.bin", binary},
            {"/sub/lib.txt", text},
            {"/a b.txt", "a blank in the name, " + version},
            {QStringLiteral("/文档.txt"), "a Chinese name, " + version}};
}

// Every request of a full update, in order, as a server sees it.
QStringList releaseTargets(const QString &folder)
{
    const QString prefix = QLatin1Char('/') + folder + QLatin1Char('/');
    return {QStringLiteral("/update.ini"), prefix + "md5.txt", prefix + "a%20b.txt", prefix + "app.bin",
            prefix + "sub/lib.txt", prefix + "%E6%96%87%E6%A1%A3.txt"};
}

// Dates every file below root back, as a release published days ago is.
bool backdate(const QString &root, int days)
{
    const QDateTime then = QDateTime::currentDateTimeUtc().addDays(-days);
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(then, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

// The Content-Encoding a server answers a client that accepts gzip with:
// the row's compression is really on (the updater itself asks for the
// bytes as stored).
QByteArray encodingOffered(const QString &url)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(30000))
        return "(no answer)";
    return reply->rawHeader("Content-Encoding");
}

} // namespace

// An object store that keeps keys literally, as S3, OSS, COS, Azure Blob
// and GCS do: the key is the request path without its first slash,
// percent-decoded and nothing else ("2.0//a" is not "2.0/a").
class LiteralKeyStore : public QObject
{
public:
    bool listen()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    // Uploads every file below root under its relative path.
    void upload(const QString &root)
    {
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            m_objects.insert(QDir(root).relativeFilePath(path), readFile(path));
        }
    }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort()); }
    QStringList requestedTargets() const { return m_targets; }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &pending = m_pending[socket];
        pending += socket->readAll();
        int end;
        while ((end = pending.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> line = pending.left(pending.indexOf("\r\n")).split(' ');
            pending.remove(0, end + 4);
            const QByteArray target = line.value(1);
            m_targets << QString::fromLatin1(target);
            const QByteArray path = target.split('?').constFirst().mid(1);
            const auto object = m_objects.constFind(QString::fromUtf8(QByteArray::fromPercentEncoding(path)));
            const bool found = object != m_objects.constEnd();
            const QByteArray body = found ? object.value() : QByteArray("<Error><Code>NoSuchKey</Code></Error>");
            socket->write((found ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
                          + QByteArray("Content-Length: ") + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        }
    }

    QTcpServer m_server;
    QHash<QString, QByteArray> m_objects;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QStringList m_targets;
};

class TestServers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fullUpdate_data();
    void fullUpdate();
    void cachingProxy_data();
    void cachingProxy();
    void proxyAuthentication_data();
    void proxyAuthentication();

private:
    // A fresh installation at 1.0 holding older copies of two files.
    QString install();
    // One in-process run of the updater of dir against url, to its end;
    // the dialog's last texts come back.
    void update(const QString &dir, const QString &url, QString &status, QString &detail);
    // Fails the test unless dir holds release and the record of the
    // release below serverRoot.
    void verifyInstalled(const QString &dir, const QMap<QString, QByteArray> &release, const QString &serverRoot,
                         const QString &folder);

    std::vector<std::unique_ptr<QTemporaryDir>> m_dirs;
};

void TestServers::initTestCase()
{
    // Only servers of this test are spoken to: proxies of the environment
    // stay out of it.
    for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "ALL_PROXY", "NO_PROXY"})
        qunsetenv(name);
    UpdateTransaction::setRetryPolicy(1, 0);
}

void TestServers::init()
{
    SettingsStore::instance().unsetValue(kKeyMaxDownloads);
    SettingsStore::instance().unsetValue(kKeyProxy);
    // The run ends by starting the main program, which plays no part here.
    SettingsStore::instance().setValue(kKeyExeName, QStringLiteral("/bin/true"));
    qunsetenv("http_proxy");
}

void TestServers::cleanup()
{
    while (QWidget *modal = QApplication::activeModalWidget())
        modal->close();
    m_dirs.clear();
}

QString TestServers::install()
{
    m_dirs.push_back(std::make_unique<QTemporaryDir>());
    const QString dir = m_dirs.back()->path() + QLatin1Char('/');
    const QMap<QString, QByteArray> old = {{"/app.bin", "version one"}, {"/sub/lib.txt", "old library"}};
    return writeInstallation(dir, QString(), QString(), QStringLiteral("1.0"), old) ? dir : QString();
}

void TestServers::update(const QString &dir, const QString &url, QString &status, QString &detail)
{
    SettingsStore::instance().setValue(kKeyUrl, url);
    WidgetProbe dialog;
    dialog.m_appDir = dir;
    if (!dialog.checkUpdate() && dialog.m_statusText == kStatusPreparing) {
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible() || dialog.statusLabel() == kStatusFailed, 120000);
    }
    status = dialog.statusLabel();
    detail = dialog.detailLabel();
}

void TestServers::verifyInstalled(const QString &dir, const QMap<QString, QByteArray> &release,
                                  const QString &serverRoot, const QString &folder)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        QVERIFY2(readFile(dir + it.key().mid(1)) == it.value(), qPrintable(it.key()));
    QCOMPARE(readFile(dir + "md5.txt"), readFile(serverRoot + QLatin1Char('/') + folder + "/md5.txt"));
    QCOMPARE(unstampedRecord(dir + "UpdateTmp/update.ini"), readFile(serverRoot + "/update.ini"));
}

void TestServers::fullUpdate_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("compression"); // what it offers for sub/lib.txt
    QTest::newRow("nginx") << int(LocalServer::Kind::Nginx) << QByteArray();
    QTest::newRow("nginx, gzip for every type") << int(LocalServer::Kind::NginxGzip) << QByteArray("gzip");
    QTest::newRow("apache2, mod_deflate") << int(LocalServer::Kind::Apache) << QByteArray("gzip");
    QTest::newRow("lighttpd") << int(LocalServer::Kind::Lighttpd) << QByteArray();
    QTest::newRow("caddy file_server") << int(LocalServer::Kind::Caddy) << QByteArray();
    QTest::newRow("caddy, encode gzip zstd") << int(LocalServer::Kind::CaddyEncode) << QByteArray("gzip");
    QTest::newRow("python3 -m http.server") << int(LocalServer::Kind::PythonHttp) << QByteArray();
    QTest::newRow("literal-key store") << kLiteralStore << QByteArray();
}

void TestServers::fullUpdate()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, compression);
    QTemporaryDir root;
    const QMap<QString, QByteArray> release = releaseFiles("2.0");
    QVERIFY(writeServerRelease(root.path(), "2.0", "2.0", release));

    std::unique_ptr<LocalServer> server;
    LiteralKeyStore store;
    QString url;
    if (kind == kLiteralStore) {
        QVERIFY(store.listen());
        store.upload(root.path());
        url = store.baseUrl();
    } else {
        server = std::make_unique<LocalServer>(LocalServer::Kind(kind), root.path());
        QVERIFY2(server->start(), qPrintable(server->errorText()));
        url = server->baseUrl();
    }
    const QString dir = install();
    QVERIFY(!dir.isEmpty());

    QString status, detail;
    update(dir, url, status, detail);
    QVERIFY2(status == kDone, qPrintable(status + QLatin1Char(' ') + detail));
    verifyInstalled(dir, release, root.path(), "2.0");
    if (QTest::currentTestFailed())
        return;
    // Servers log a request once it is answered.
    if (!server) {
        QCOMPARE(store.requestedTargets(), releaseTargets("2.0"));
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(server->requestedTargets(), releaseTargets("2.0"), 10000);
    QCOMPARE(encodingOffered(url + "2.0/sub/lib.txt"), compression);
}

void TestServers::cachingProxy_data()
{
    QTest::addColumn<bool>("viaEnvironment");
    QTest::addColumn<QString>("nextFolder");
    QTest::newRow("Proxy= setting") << false << "3.0";
    QTest::newRow("http_proxy variable") << true << "3.0";
    // Files of a folder published again are stale in the cache too.
    QTest::newRow("folder published again") << false << "2.0";
}

void TestServers::cachingProxy()
{
    QFETCH(bool, viaEnvironment);
    QFETCH(QString, nextFolder);
    const QString host = loopbackHostName();
    if (host.isEmpty())
        QSKIP("no name of this machine resolves to 127.0.0.1 only (tools/setup.sh adds one)");
    QTemporaryDir root;
    QVERIFY(writeServerRelease(root.path(), "2.0", "2.0", releaseFiles("2.0")));
    QVERIFY(backdate(root.path(), 10));
    LocalServer origin(LocalServer::Kind::Nginx, root.path());
    QVERIFY2(origin.start(), qPrintable(origin.errorText()));
    LocalServer squid(LocalServer::Kind::Squid);
    QVERIFY2(squid.start(), qPrintable(squid.errorText()));
    if (viaEnvironment)
        qputenv("http_proxy", squid.baseUrl().toUtf8());
    else
        SettingsStore::instance().setValue(kKeyProxy, squid.baseUrl().chopped(1));
    const QString url = origin.baseUrl(host);

    QString status, detail;
    const QString first = install();
    update(first, url, status, detail);
    QVERIFY2(status == kDone, qPrintable(status + QLatin1Char(' ') + detail));
    QTRY_VERIFY_WITH_TIMEOUT(squid.requestedTargets().contains(url + "update.ini"), 10000);

    // Published now: the cache still holds 2.0's control files (and with
    // the same folder its files) as fresh.
    const QMap<QString, QByteArray> next = releaseFiles("3.0");
    QVERIFY(writeServerRelease(root.path(), nextFolder, "3.0", next));
    const QString second = install();
    update(second, url, status, detail);
    QVERIFY2(status == kDone, qPrintable(status + QLatin1Char(' ') + detail));
    verifyInstalled(second, next, root.path(), nextFolder);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(origin.requestedTargets().count("/update.ini"), 2, 10000);
}

void TestServers::proxyAuthentication_data()
{
    QTest::addColumn<QString>("credentials");
    QTest::addColumn<bool>("installs");
    QTest::newRow("no credentials") << QString() << false;
    QTest::newRow("credentials in Proxy=") << "updater:s3cret@" << true;
}

void TestServers::proxyAuthentication()
{
    QFETCH(QString, credentials);
    QFETCH(bool, installs);
    const QString host = loopbackHostName();
    if (host.isEmpty())
        QSKIP("no name of this machine resolves to 127.0.0.1 only (tools/setup.sh adds one)");
    QTemporaryDir root;
    const QMap<QString, QByteArray> release = releaseFiles("2.0");
    QVERIFY(writeServerRelease(root.path(), "2.0", "2.0", release));
    LocalServer origin(LocalServer::Kind::Nginx, root.path());
    QVERIFY2(origin.start(), qPrintable(origin.errorText()));
    LocalServer proxy(LocalServer::Kind::Tinyproxy);
    proxy.setCredentials("updater", "s3cret");
    QVERIFY2(proxy.start(), qPrintable(proxy.errorText()));
    const QString proxyName = QStringLiteral("127.0.0.1:%1").arg(proxy.port());
    SettingsStore::instance().setValue(kKeyProxy, QStringLiteral("http://") + credentials + proxyName);
    const QString url = origin.baseUrl(host);

    // The dialog may ask once for a user name and password: the user
    // cancels.
    QTimer dismiss;
    connect(&dismiss, &QTimer::timeout, this, []() {
        if (auto *prompt = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            prompt->reject();
    });
    dismiss.start(50);

    const QString dir = install();
    QString status, detail;
    update(dir, url, status, detail);
    if (installs) {
        QVERIFY2(status == kDone, qPrintable(status + QLatin1Char(' ') + detail));
        verifyInstalled(dir, release, root.path(), "2.0");
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(origin.requestedTargets(), releaseTargets("2.0"), 10000);
        QVERIFY(proxy.requestedTargets().contains(url + "update.ini"));
    } else {
        QCOMPARE(detail, QStringLiteral("代理服务器需要身份验证:") + proxyName);
        QVERIFY(origin.requestedTargets().isEmpty());
        QCOMPARE(readFile(dir + "app.bin"), QByteArray("version one"));
        QCOMPARE(readFile(dir + "UpdateTmp/update.ini"), QByteArray("[Version]\nFolder=old\nVersion=1.0\n"));
    }
}

QTEST_MAIN(TestServers)
#include "tst_servers.moc"

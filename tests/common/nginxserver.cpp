#include "nginxserver.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

quint16 freeLocalPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// --- nginx ---------------------------------------------------------------

NginxServer::NginxServer(const QString &root)
    : m_root(QDir(root).absolutePath())
{
}

NginxServer::~NginxServer()
{
    stop();
}

#ifdef Q_OS_WIN
// Under Wine a Windows program cannot run and stop the Linux nginx, so the
// lane's runner (tests/wine/qtest.sh) starts one before the test. It serves
// a whole drive; each server here is the URL prefix of its own root on it.
bool NginxServer::start()
{
    const QString portText = qEnvironmentVariable("UPDATER_TEST_NGINX_PORT");
    const QString servedRoot = QDir::fromNativeSeparators(qEnvironmentVariable("UPDATER_TEST_NGINX_ROOT"));
    m_accessLog = QDir::fromNativeSeparators(qEnvironmentVariable("UPDATER_TEST_NGINX_LOG"));
    if (portText.isEmpty() || servedRoot.isEmpty() || m_accessLog.isEmpty()) {
        m_error = QStringLiteral("no nginx was started for this test: run it through tests/wine/qtest.sh "
                                 "with WINE_TEST_NGINX=1");
        return false;
    }
    const QString relative = QDir(servedRoot).relativeFilePath(m_root);
    if (relative.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(relative)) {
        m_error = QStringLiteral("%1 is not below %2, the folder nginx serves").arg(m_root, servedRoot);
        return false;
    }
    m_urlPrefix.clear();
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        m_urlPrefix += QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(part));
    m_port = quint16(portText.toUInt());
    m_logOffset = QFileInfo(m_accessLog).size();

    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, m_port);
    if (!probe.waitForConnected(5000)) {
        m_error = QStringLiteral("nginx does not answer on port %1: %2").arg(m_port).arg(probe.errorString());
        return false;
    }
    return true;
}

void NginxServer::stop()
{
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1%2/").arg(m_port).arg(m_urlPrefix);
}

// The shared log has "METHOD URI STATUS" lines of every server of the run.
QStringList NginxServer::requestedPaths() const
{
    QFile file(m_accessLog);
    QStringList paths;
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_logOffset))
        return paths;
    const QString prefix = m_urlPrefix + QLatin1Char('/');
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2)
            continue;
        const QString uri = QString::fromUtf8(fields.at(1));
        if (uri.startsWith(prefix))
            paths << uri.mid(m_urlPrefix.size());
    }
    return paths;
}
#else
QString NginxServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(m_tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
        .arg(m_port);
}

void NginxServer::useTls(const QString &certificateFile, const QString &keyFile)
{
    m_tlsCertificate = QFileInfo(certificateFile).absoluteFilePath();
    m_tlsKey = QFileInfo(keyFile).absoluteFilePath();
}

bool NginxServer::start()
{
    const QString nginx = QStringLiteral("/usr/sbin/nginx");
    if (!QFileInfo(nginx).isExecutable()) {
        m_error = QStringLiteral("nginx is not installed (Debian package nginx-light)");
        return false;
    }
    const QString work = m_work.path();
    QDir().mkpath(work + QStringLiteral("/tmp"));

    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLocalPort();
        const QString conf = QStringLiteral(
            "user root;\n"
            "daemon off;\n"
            "master_process off;\n"
            "worker_processes 1;\n"
            "pid %1/nginx.pid;\n"
            "error_log %1/error.log;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  log_format paths '$connection $request_uri $status $server_protocol $body_bytes_sent';\n"
            "  access_log %1/access.log paths;\n"
            "  client_body_temp_path %1/tmp;\n"
            "  proxy_temp_path %1/tmp;\n"
            "  fastcgi_temp_path %1/tmp;\n"
            "  uwsgi_temp_path %1/tmp;\n"
            "  scgi_temp_path %1/tmp;\n"
            "  default_type application/octet-stream;\n"
            "  sendfile on;\n"
            // One connection may carry every request of a long run.
            "  keepalive_requests 100000;\n"
            "  keepalive_timeout 300s;\n"
            "  server {\n"
            "    listen 127.0.0.1:%2%4;\n"
            "    root \"%3\";\n"
            "%5"
            "%6"
            "    location / { }\n"
            "  }\n"
            "}\n").arg(work).arg(m_port).arg(m_root)
            .arg(m_tlsCertificate.isEmpty() ? QString() : QStringLiteral(" ssl http2"),
                 m_tlsCertificate.isEmpty() ? QString()
                     : QStringLiteral("    ssl_certificate \"%1\";\n    ssl_certificate_key \"%2\";\n")
                           .arg(m_tlsCertificate, m_tlsKey))
            .arg(m_serverConfig);
        writeFile(work + QStringLiteral("/nginx.conf"), conf.toUtf8());
        QFile::remove(work + QStringLiteral("/access.log"));

        // nginx runs under a small shell that ends it when this test process
        // is gone, so a test killed by a time-out leaves no server behind.
        static const QString watchdog = QStringLiteral(
            "\"$2\" -p \"$3\" -c \"$3/nginx.conf\" -e \"$3/error.log\" & n=$!\n"
            "trap 'kill $n 2>/dev/null; wait $n; exit 0' TERM INT\n"
            "while kill -0 \"$1\" 2>/dev/null && kill -0 $n 2>/dev/null; do sleep 1 & wait $!; done\n"
            "kill $n 2>/dev/null; wait $n\n");
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"), watchdog, QStringLiteral("sh"),
                         QString::number(QCoreApplication::applicationPid()), nginx, work});
        if (!m_process.waitForStarted(5000)) {
            m_error = m_process.errorString();
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 5000 && m_process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(200))
                return true;
            QThread::msleep(20);
        }
        m_process.kill();
        m_process.waitForFinished(2000);
        m_error = QString::fromUtf8(readFile(work + QStringLiteral("/error.log")));
    }
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

QList<QByteArray> NginxServer::accessLogLines() const
{
    QList<QByteArray> lines = readFile(m_work.path() + QStringLiteral("/access.log")).split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

QStringList NginxServer::requestedPaths() const
{
    QStringList paths;
    for (const QByteArray &line : accessLogLines()) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() >= 2)
            paths << QString::fromUtf8(fields.at(1));
    }
    return paths;
}

#endif

AccessLogShare accessLogShare(const QList<QByteArray> &lines, int from)
{
    AccessLogShare share;
    QSet<QByteArray> connections;
    for (int i = from; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        if (fields.size() < 3)
            continue;
        ++share.requests;
        connections.insert(fields.at(0));
        if (fields.at(2) != "200")
            ++share.failures;
    }
    share.connections = connections.size();
    return share;
}

// --- certificates --------------------------------------------------------

namespace {

bool runOpenssl(const QString &dir, const QStringList &arguments, QString &error)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl %1 failed: %2 %3")
                    .arg(arguments.join(QLatin1Char(' ')), openssl.errorString(),
                         QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

// A CA certificate and key: name.pem, name.key.
bool makeCa(const QString &dir, const QString &name, QString &error)
{
    return runOpenssl(dir, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                            QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                            QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                            name + QStringLiteral(".pem"), QStringLiteral("-days"), QStringLiteral("30"),
                            QStringLiteral("-subj"), QStringLiteral("/CN=updater test ") + name},
                      error);
}

// A server certificate for subjectAltName, issued by ca, valid for days
// (a negative count ends its validity in the past).
bool makeServerCertificate(const QString &dir, const QString &name, const QString &ca,
                           const QString &subjectAltName, int days, QString &error)
{
    if (!writeFile(dir + QLatin1Char('/') + name + QStringLiteral(".ext"),
                   "subjectAltName=" + subjectAltName.toUtf8() + "\n"))
        return false;
    return runOpenssl(dir, {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                            QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                            QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                            QStringLiteral("-out"), name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                            QStringLiteral("/CN=") + name},
                      error)
        && runOpenssl(dir, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                            name + QStringLiteral(".csr"), QStringLiteral("-CA"), ca + QStringLiteral(".pem"),
                            QStringLiteral("-CAkey"), ca + QStringLiteral(".key"), QStringLiteral("-set_serial"),
                            QString::number(QDateTime::currentMSecsSinceEpoch()), QStringLiteral("-days"),
                            QString::number(days), QStringLiteral("-extfile"), name + QStringLiteral(".ext"),
                            QStringLiteral("-out"), name + QStringLiteral(".pem")},
                      error);
}

} // namespace

bool makeTestCertificates(const QString &dir, QString &error)
{
    const QString ip = QStringLiteral("IP:127.0.0.1");
    return makeCa(dir, QStringLiteral("ca"), error) && makeCa(dir, QStringLiteral("otherca"), error)
        && makeServerCertificate(dir, QStringLiteral("valid"), QStringLiteral("ca"), ip, 30, error)
        && makeServerCertificate(dir, QStringLiteral("wronghost"), QStringLiteral("ca"),
                                 QStringLiteral("DNS:updates.example.com"), 30, error)
        && makeServerCertificate(dir, QStringLiteral("expired"), QStringLiteral("ca"), ip, -1, error)
        && makeServerCertificate(dir, QStringLiteral("unknownca"), QStringLiteral("otherca"), ip, 30, error);
}

#include "testsupport.h"
#include "ui_widget.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

bool writeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size()
        && file.flush();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray unstampedRecord(const QString &path)
{
    QByteArray kept;
    const QList<QByteArray> lines = readFile(path).replace('\r', QByteArray()).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines.at(i).startsWith("Transaction="))
            kept += lines.at(i) + (i + 1 < lines.size() ? "\n" : "");
    }
    return kept;
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QMap<QString, QByteArray> snapshotTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    const QString base = QDir(root).absolutePath();
    QDirIterator it(base, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString key = path.mid(base.size());
        if (info.isSymLink())
            tree.insert(key, "link -> " + info.symLinkTarget().toUtf8());
        else if (info.isDir())
            tree.insert(key + QLatin1Char('/'), QByteArray("<dir>"));
        else
            tree.insert(key, readFile(path));
    }
    return tree;
}

void endProcesses(QList<QProcess *> &processes)
{
    for (QProcess *process : qAsConst(processes)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        delete process;
    }
    processes.clear();
}

quint16 freeLocalPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool writeServerRelease(const QString &root, const QString &folder, const QString &version,
                        const QMap<QString, QByteArray> &files)
{
    QByteArray manifest;
#ifdef Q_OS_WIN
    // The updater reads a manifest in the local code page (936 on a Chinese
    // Windows) unless it starts with the BOM that updater-publish writes.
    manifest = "\xEF\xBB\xBF";
#endif
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + folder + it.key(), it.value()))
            return false;
        manifest += md5Hex(it.value()).toUtf8() + '\t' + it.key().toUtf8() + '\n';
    }
    const QByteArray ini = "[Version]\nFolder=" + folder.toUtf8() + "\nVersion=" + version.toUtf8() + "\n";
    return writeFile(root + QLatin1Char('/') + folder + QStringLiteral("/md5.txt"), manifest)
        && writeFile(root + QStringLiteral("/update.ini"), ini);
}

bool writeInstallation(const QString &appDir, const QString &url, const QString &exeName,
                       const QString &version, const QMap<QString, QByteArray> &files)
{
    const QString dir = QDir(appDir).absolutePath() + QLatin1Char('/');
    const QByteArray cfg = "[Update]\nURL=" + url.toUtf8() + "\nExeName=" + exeName.toUtf8() + "\n";
    if (!writeFile(dir + QStringLiteral("system.cfg"), cfg))
        return false;
    if (!version.isEmpty()
        && !writeFile(dir + QStringLiteral("UpdateTmp/update.ini"),
                      "[Version]\nFolder=old\nVersion=" + version.toUtf8() + "\n"))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(dir + it.key().mid(1), it.value()))
            return false;
    }
    return true;
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
            "  log_format paths '$connection $request_uri $status $server_protocol';\n"
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

// --- fault server --------------------------------------------------------

FaultServer::FaultServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
}

FaultServer::~FaultServer()
{
    m_server.close();
    // The sockets are children of m_server, the last member to go: deleted
    // there, their disconnected signal would reach the hashes already gone.
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
}

bool FaultServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString FaultServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void FaultServer::setRoute(const QString &path, const Route &route)
{
    m_routes.insert(path, route);
}

void FaultServer::setBody(const QString &path, const QByteArray &body, int status)
{
    Route route;
    route.status = status;
    route.body = body;
    setRoute(path, route);
}

void FaultServer::setStall(const QString &path, const QByteArray &sentPart, qint64 announcedLength)
{
    Route route;
    route.kind = Kind::Stall;
    route.body = sentPart;
    route.announcedLength = announcedLength;
    setRoute(path, route);
}

void FaultServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            m_pending.remove(socket);
            m_endless.remove(socket);
            socket->deleteLater();
        });
    }
}

void FaultServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    QMultiMap<QByteArray, QByteArray> headers;
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    buffer.remove(0, end + 4);
    const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine.at(1)) : QString();
    m_requests << path;
    m_requestHeaders << headers;
    respond(socket, path, headers);
}

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// Closes with RST instead of FIN, as a crashed peer or a middlebox does.
void resetConnection(QTcpSocket *socket)
{
    const qintptr fd = socket->socketDescriptor();
    if (fd != -1) {
        struct linger option;
        option.l_onoff = 1;
        option.l_linger = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&option), sizeof option);
    }
    socket->abort();
}

} // namespace

void FaultServer::respond(QTcpSocket *socket, const QString &path, const QMultiMap<QByteArray, QByteArray> &headers)
{
    const QString decoded = QUrl::fromPercentEncoding(path.toLatin1());
    Route route;
    if (m_routes.contains(path))
        route = m_routes.value(path);
    else if (m_routes.contains(decoded))
        route = m_routes.value(decoded);
    else {
        route.status = 404;
        route.body = "not here";
    }
    if (!route.cachedBody.isNull() && !headers.values("cache-control").contains("no-cache"))
        route.body = route.cachedBody;
    if (!route.proxyAuthorization.isEmpty() && headers.value("proxy-authorization") != route.proxyAuthorization) {
        route = Route();
        route.status = 407;
        route.body = "credentials wanted";
        route.extraHeaders = "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n";
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonPhrase(route.status)
        + "\r\nConnection: close\r\n" + route.extraHeaders;
    switch (route.kind) {
    case Kind::Redirect:
        head += "Location: " + route.location.toUtf8() + "\r\nContent-Length: 0\r\n\r\n";
        socket->write(head);
        socket->disconnectFromHost();
        return;
    case Kind::Endless:
        head += "Content-Type: application/octet-stream\r\n\r\n";
        socket->write(head);
        m_endless.insert(socket);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket]() { feedEndless(socket); });
        feedEndless(socket);
        return;
    default:
        break;
    }

    if (route.kind == Kind::Body && route.framing != Framing::Length) {
        QByteArray body = route.body;
        if (route.framing == Framing::Chunked) {
            head += "Transfer-Encoding: chunked\r\n";
            // Two chunks, so a reader must join them.
            const QByteArray first = body.left(body.size() / 2);
            const QByteArray second = body.mid(first.size());
            body.clear();
            for (const QByteArray &chunk : {first, second}) {
                if (!chunk.isEmpty())
                    body += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
            }
            body += "0\r\n\r\n";
        }
        socket->write(head + "\r\n" + body);
        socket->disconnectFromHost();
        return;
    }
    const qint64 length = route.announcedLength >= 0 ? route.announcedLength : route.body.size();
    head += "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
    if (route.kind == Kind::Drip) {
        socket->write(head + route.body.left(route.dripAfter));
        // A child of the socket, so it goes with it.
        auto *timer = new QTimer(socket);
        const bool closeAtEnd = length == route.body.size();
        connect(timer, &QTimer::timeout, socket,
                [socket, timer, closeAtEnd, rest = route.body.mid(route.dripAfter)]() mutable {
            if (!rest.isEmpty()) {
                socket->write(rest.left(1));
                rest.remove(0, 1);
            }
            if (rest.isEmpty()) {
                timer->stop();
                if (closeAtEnd)
                    socket->disconnectFromHost();
            }
        });
        timer->start(route.dripIntervalMs);
        return;
    }
    socket->write(head + route.body);
    switch (route.kind) {
    case Kind::Stall:
        socket->flush();
        break; // keep the connection open and silent
    case Kind::Reset:
        socket->flush();
        if (route.resetAfterMs > 0) {
            QTimer::singleShot(route.resetAfterMs, socket, [socket]() { resetConnection(socket); });
        } else {
            socket->waitForBytesWritten(1000);
            resetConnection(socket);
        }
        break;
    default:
        socket->disconnectFromHost();
        break;
    }
}

void FaultServer::feedEndless(QTcpSocket *socket)
{
    if (!m_endless.contains(socket) || socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (socket->bytesToWrite() < 256 * 1024)
        socket->write(QByteArray(64 * 1024, 'x'));
}

// --- dialog probe --------------------------------------------------------

QString WidgetProbe::statusLabel() const
{
    return ui->label_update->text();
}

QString WidgetProbe::detailLabel() const
{
    return ui->label_updatefile->text();
}

int WidgetProbe::overallValue() const
{
    return ui->progressBar_update->value();
}

int WidgetProbe::overallMaximum() const
{
    return ui->progressBar_update->maximum();
}

int WidgetProbe::fileValue() const
{
    return ui->progressBar_updatefile->value();
}

bool WidgetProbe::cancelEnabled() const
{
    return ui->pushButton_cancel->isEnabled();
}

QString WidgetProbe::buttonText() const
{
    return ui->pushButton_cancel->text();
}

// --- the updater as a process ---------------------------------------------

QString executableSuffix()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return QString();
#endif
}

QString updaterBinary()
{
    return qEnvironmentVariable("UPDATER_BINARY_DIR") + QStringLiteral("/src/updater") + executableSuffix();
}

bool installUpdaterBinary(const QString &appDir)
{
    // On Windows the copy finds its Qt DLLs and plugins through PATH and
    // QT_PLUGIN_PATH (the Wine runner sets both): the folder holds nothing else.
    const QString target = QDir(appDir).filePath(QStringLiteral("updater") + executableSuffix());
    QFile::remove(target);
    return QFile::copy(updaterBinary(), target)
        && QFile::setPermissions(target, QFile::permissions(updaterBinary()));
}

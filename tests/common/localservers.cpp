#include "localservers.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace {

// Runs the server under a small shell that ends it when the test process is
// gone, so a test killed by a time-out leaves nothing behind, and that ends
// itself with the server. The server's pid goes to server.pid for a
// last-resort kill.
const QString kWatchdog = QStringLiteral(
    "p=$1; w=$2; shift 2\n"
    "\"$@\" & n=$!\n"
    "echo $n > \"$w/server.pid\"\n"
    "(while kill -0 \"$p\" 2>/dev/null; do sleep 1; done; kill $n 2>/dev/null) & m=$!\n"
    "trap 'kill $n 2>/dev/null; wait $n; kill $m 2>/dev/null; exit 0' TERM INT\n"
    "wait $n\n"
    "kill $m 2>/dev/null\n");

bool isRoot() { return ::geteuid() == 0; }

// Servers that drop root (apache's workers, squid, tinyproxy) must still
// read the served tree and write their logs.
void openUp(const QString &path, bool writable)
{
    const auto dirMode = QFileDevice::Permissions(0x7755) | (writable ? QFileDevice::WriteOther | QFileDevice::WriteGroup
                                                                      : QFileDevice::Permissions());
    QFile::setPermissions(path, dirMode);
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        QFile::setPermissions(entry, it.fileInfo().isDir() ? dirMode : QFileDevice::Permissions(0x6644));
    }
}

QString nginxConfig(const QString &work, quint16 port, const QString &root, bool gzip)
{
    return QStringLiteral(
        "user root;\ndaemon off;\nmaster_process off;\nworker_processes 1;\n"
        "pid %1/nginx.pid;\nerror_log %1/error.log;\n"
        "events { worker_connections 64; }\n"
        "http {\n"
        "  log_format paths '\"$request\" $status';\n"
        "  access_log %1/access.log paths;\n"
        "  client_body_temp_path %1/tmp;\n  proxy_temp_path %1/tmp;\n  fastcgi_temp_path %1/tmp;\n"
        "  uwsgi_temp_path %1/tmp;\n  scgi_temp_path %1/tmp;\n"
        "  include /etc/nginx/mime.types;\n  default_type application/octet-stream;\n"
        "%4"
        "  server {\n    listen 127.0.0.1:%2;\n    root \"%3\";\n    location / { }\n  }\n"
        "}\n")
        .arg(work).arg(port).arg(root)
        .arg(gzip ? QStringLiteral("  gzip on;\n  gzip_types *;\n  gzip_min_length 1;\n  gzip_proxied any;\n")
                  : QString());
}

QString apacheConfig(const QString &work, quint16 port, const QString &root)
{
    return QStringLiteral(
        "ServerRoot /etc/apache2\nServerName 127.0.0.1\nListen 127.0.0.1:%2\n"
        "PidFile %1/apache.pid\nDefaultRuntimeDir %1\nErrorLog %1/error.log\n"
        "%4"
        "IncludeOptional mods-enabled/*.load\nIncludeOptional mods-enabled/*.conf\n"
        "LogFormat \"\\\"%r\\\" %>s\" paths\nCustomLog %1/access.log paths\n"
        "DocumentRoot \"%3\"\n"
        "<Directory \"%3\">\n  Options None\n  AllowOverride None\n  Require all granted\n</Directory>\n")
        .arg(work).arg(port).arg(root)
        .arg(isRoot() ? QStringLiteral("User www-data\nGroup www-data\n") : QString());
}

QString lighttpdConfig(const QString &work, quint16 port, const QString &root)
{
    return QStringLiteral(
        "server.document-root = \"%3\"\nserver.bind = \"127.0.0.1\"\nserver.port = %2\n"
        "server.errorlog = \"%1/error.log\"\n"
        "server.modules = ( \"mod_accesslog\" )\n"
        "accesslog.filename = \"%1/access.log\"\naccesslog.format = \"\\\"%r\\\" %s\"\n"
        "mimetype.assign = ( \".txt\" => \"text/plain; charset=utf-8\", \".ini\" => \"text/plain\" )\n")
        .arg(work).arg(port).arg(root);
}

QString caddyConfig(const QString &work, quint16 port, const QString &root, bool encode)
{
    return QStringLiteral(
        "{\n\tadmin off\n\tauto_https off\n\tstorage file_system %1/storage\n}\n"
        "http://127.0.0.1:%2 {\n\tbind 127.0.0.1\n\troot * \"%3\"\n%4\tfile_server\n"
        "\tlog {\n\t\toutput file %1/access.log\n\t\tformat json\n\t}\n}\n")
        .arg(work).arg(port).arg(root)
        .arg(encode ? QStringLiteral("\tencode gzip zstd\n") : QString());
}

QString squidConfig(const QString &work, quint16 port)
{
    return QStringLiteral(
        "http_port 127.0.0.1:%2\nvisible_hostname updater-test\n"
        "pid_filename %1/squid.pid\ncache_log %1/cache.log\ncoredump_dir %1\n"
        "logformat paths %rm %ru %Ss\naccess_log stdio:%1/access.log paths\ncache_store_log none\n"
        "cache_mem 32 MB\nmaximum_object_size_in_memory 4 MB\n"
        "acl local src 127.0.0.1/32\nhttp_access allow local\nhttp_access deny all\n"
        // Squid's own heuristics: a response without expiry is fresh for 20 %
        // of its age since Last-Modified, up to three days.
        "refresh_pattern . 0 20% 4320\n"
        "pinger_enable off\nshutdown_lifetime 0 seconds\n")
        .arg(work).arg(port);
}

QString tinyproxyConfig(const QString &work, quint16 port, const QString &user, const QString &password)
{
    QString config = QStringLiteral(
        "Port %2\nListen 127.0.0.1\nTimeout 600\nMaxClients 20\nAllow 127.0.0.1\n"
        "LogFile \"%1/access.log\"\nLogLevel Info\nPidFile \"%1/tinyproxy.pid\"\n")
        .arg(work).arg(port);
    if (isRoot())
        config += QStringLiteral("User nobody\nGroup nogroup\n");
    if (!user.isEmpty())
        config += QStringLiteral("BasicAuth %1 %2\n").arg(user, password);
    return config;
}

} // namespace

LocalServer::LocalServer(Kind kind, const QString &root)
    : m_kind(kind)
    , m_root(root.isEmpty() ? QString() : QFileInfo(root).absoluteFilePath())
{
}

LocalServer::~LocalServer()
{
    stop();
}

void LocalServer::setCredentials(const QString &user, const QString &password)
{
    m_user = user;
    m_password = password;
}

QString LocalServer::baseUrl(const QString &host) const
{
    return QStringLiteral("http://%1:%2/").arg(host).arg(m_port);
}

bool LocalServer::writeConfig(QString &program, QStringList &arguments)
{
    const QString work = m_work.path();
    const QString conf = work + QStringLiteral("/server.conf");
    QString text;
    switch (m_kind) {
    case Kind::Nginx:
    case Kind::NginxGzip:
        QDir().mkpath(work + QStringLiteral("/tmp"));
        text = nginxConfig(work, m_port, m_root, m_kind == Kind::NginxGzip);
        program = QStringLiteral("/usr/sbin/nginx");
        arguments = QStringList{QStringLiteral("-p"), work, QStringLiteral("-c"), conf, QStringLiteral("-e"),
                     work + QStringLiteral("/error.log")};
        break;
    case Kind::Apache:
        text = apacheConfig(work, m_port, m_root);
        program = QStringLiteral("/usr/sbin/apache2");
        arguments = QStringList{QStringLiteral("-f"), conf, QStringLiteral("-DFOREGROUND")};
        break;
    case Kind::Lighttpd:
        text = lighttpdConfig(work, m_port, m_root);
        program = QStringLiteral("/usr/sbin/lighttpd");
        arguments = QStringList{QStringLiteral("-D"), QStringLiteral("-f"), conf};
        break;
    case Kind::Caddy:
    case Kind::CaddyEncode:
        text = caddyConfig(work, m_port, m_root, m_kind == Kind::CaddyEncode);
        program = QStringLiteral("/usr/bin/caddy");
        arguments = QStringList{QStringLiteral("run"), QStringLiteral("--config"), conf, QStringLiteral("--adapter"),
                     QStringLiteral("caddyfile")};
        break;
    case Kind::PythonHttp:
        program = QStringLiteral("/usr/bin/python3");
        arguments = QStringList{QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(m_port),
                     QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), m_root};
        return QFileInfo(program).isExecutable();
    case Kind::Squid:
        text = squidConfig(work, m_port);
        program = QStringLiteral("/usr/sbin/squid");
        arguments = QStringList{QStringLiteral("-N"), QStringLiteral("-f"), conf};
        break;
    case Kind::Tinyproxy:
        text = tinyproxyConfig(work, m_port, m_user, m_password);
        program = QStringLiteral("/usr/bin/tinyproxy");
        arguments = QStringList{QStringLiteral("-d"), QStringLiteral("-c"), conf};
        break;
    }
    return QFileInfo(program).isExecutable() && writeFile(conf, text.toUtf8());
}

bool LocalServer::start()
{
    const QString work = m_work.path();
    const bool dropsRoot = m_kind == Kind::Apache || m_kind == Kind::Squid || m_kind == Kind::Tinyproxy;
    if (dropsRoot && isRoot()) {
        openUp(work, true);
        if (!m_root.isEmpty())
            openUp(m_root, false);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Caddy keeps its state below these; Python's log must reach the file.
    environment.insert(QStringLiteral("HOME"), work);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), work + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), work + QStringLiteral("/config"));
    environment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(work + QStringLiteral("/stdout.log"), QIODevice::Append);
    // http.server logs each request on standard error.
    m_process.setStandardErrorFile(work + (m_kind == Kind::PythonHttp ? QStringLiteral("/access.log")
                                                                      : QStringLiteral("/stderr.log")),
                                   QIODevice::Append);

    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLocalPort();
        QString program;
        QStringList arguments;
        if (!writeConfig(program, arguments)) {
            m_error = QStringLiteral("%1 is not installed (tools/setup.sh installs it)").arg(program);
            return false;
        }
        m_process.start(QStringLiteral("/bin/sh"),
                        QStringList{QStringLiteral("-c"), kWatchdog, QStringLiteral("sh"),
                                    QString::number(QCoreApplication::applicationPid()), work, program}
                            + arguments);
        if (!m_process.waitForStarted(5000)) {
            m_error = m_process.errorString();
            return false;
        }
        if (waitUntilListening())
            return true;
        stop();
        m_error = QString::fromUtf8(readFile(work + QStringLiteral("/stderr.log")).right(2000)
                                    + readFile(work + QStringLiteral("/error.log")).right(2000)
                                    + readFile(work + QStringLiteral("/cache.log")).right(2000));
    }
    return false;
}

bool LocalServer::waitUntilListening()
{
    // Squid and caddy take a while on a busy machine.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000 && m_process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

void LocalServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(15000)) {
        const QByteArray pid = readFile(m_work.path() + QStringLiteral("/server.pid")).trimmed();
        if (!pid.isEmpty())
            QProcess::execute(QStringLiteral("/bin/kill"), {QStringLiteral("-KILL"), QString::fromLatin1(pid)});
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QList<QByteArray> LocalServer::accessLogLines() const
{
    QList<QByteArray> lines = readFile(m_work.path() + QStringLiteral("/access.log")).split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

QStringList LocalServer::requestedTargets() const
{
    static const QRegularExpression request(QStringLiteral("\\b(?:GET|HEAD) (\\S+)"));
    QStringList targets;
    for (const QByteArray &line : accessLogLines()) {
        if (m_kind == Kind::Caddy || m_kind == Kind::CaddyEncode) {
            const QJsonObject entry = QJsonDocument::fromJson(line).object().value(QLatin1String("request")).toObject();
            if (!entry.isEmpty())
                targets << entry.value(QLatin1String("uri")).toString();
            continue;
        }
        const QRegularExpressionMatch match = request.match(QString::fromUtf8(line));
        if (match.hasMatch())
            targets << match.captured(1);
    }
    return targets;
}

QString loopbackHostName()
{
    for (const QString &name : {QHostInfo::localHostName(), QStringLiteral("updater-test-host")}) {
        const QList<QHostAddress> addresses = QHostInfo::fromName(name).addresses();
        bool loopbackOnly = !addresses.isEmpty() && !name.startsWith(QLatin1String("localhost"));
        for (const QHostAddress &address : addresses)
            loopbackOnly = loopbackOnly && address.isLoopback();
        if (loopbackOnly)
            return name;
    }
    return QString();
}

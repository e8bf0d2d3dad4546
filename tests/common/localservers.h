#pragma once

// Web servers and proxies from Debian for the compatibility tests. Each one
// runs in the foreground with its own configuration in a throw-away folder,
// on 127.0.0.1 and a free port, and is stopped on destruction (or when the
// test process is gone). Linux only.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class LocalServer
{
public:
    enum class Kind {
        Nginx,       // Debian's defaults
        NginxGzip,   // gzip for every type and length
        Apache,      // the modules Debian enables, mod_deflate among them
        Lighttpd,
        Caddy,       // file_server
        CaddyEncode, // file_server with encode gzip zstd
        PythonHttp,  // python3 -m http.server
        Squid,       // a caching forward proxy with Squid's usual heuristics
        Tinyproxy    // a forward proxy; BasicAuth when credentials are set
    };

    // root is the folder a web server serves; proxies ignore it.
    LocalServer(Kind kind, const QString &root = QString());
    ~LocalServer();
    LocalServer(const LocalServer &) = delete;
    LocalServer &operator=(const LocalServer &) = delete;

    // Tinyproxy only, before start(): the proxy answers 407 without them.
    void setCredentials(const QString &user, const QString &password);

    bool start();
    void stop();
    QString errorText() const { return m_error; }
    quint16 port() const { return m_port; }
    // http://<host>:<port>/
    QString baseUrl(const QString &host = QStringLiteral("127.0.0.1")) const;
    // Request targets in the order the server logged them, as sent: paths
    // for a web server ("/2.0/a%20b.txt"), absolute URLs for a proxy.
    QStringList requestedTargets() const;
    // The access log's lines (squid: "<method> <URL> <cache result>").
    QList<QByteArray> accessLogLines() const;

private:
    bool writeConfig(QString &program, QStringList &arguments);
    bool waitUntilListening();

    Kind m_kind;
    QString m_root;
    QTemporaryDir m_work;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
    QString m_user;
    QString m_password;
};

// A name of this machine that resolves to loopback addresses only, for URLs
// a proxy must carry (Qt never proxies localhost or loopback addresses): the
// machine's own name, else updater-test-host (tools/setup.sh adds it to
// /etc/hosts when needed). Empty when neither qualifies.
QString loopbackHostName();

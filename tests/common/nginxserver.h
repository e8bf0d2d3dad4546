#pragma once

// A real nginx on 127.0.0.1 for the tests, what its access log shows, and
// certificates for serving https.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A port nobody listens on right now.
quint16 freeLocalPort();

// A throw-away nginx serving root on 127.0.0.1, stopped on destruction.
// On Windows (under Wine) it is the one nginx the test runner started, root
// being a URL prefix on it.
class NginxServer
{
public:
    explicit NginxServer(const QString &root);
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

#ifndef Q_OS_WIN
    // Serve https with this PEM certificate (chain) and key; call before start().
    void useTls(const QString &certificateFile, const QString &keyFile);
    // Directives added to the server block ("expires 1h;\n"); before start().
    void addServerConfig(const QString &lines) { m_serverConfig += lines; }
#endif
    bool start();
    void stop();
    QString errorText() const { return m_error; }
    quint16 port() const { return m_port; }
    QString baseUrl() const;
    // Request paths in arrival order, as sent ("/1.0/a%20b.txt").
    QStringList requestedPaths() const;
#ifndef Q_OS_WIN
    // Access log lines "<connection number> <request path> <status>
    // <protocol> <body bytes sent>". Over TLS the server offers HTTP/2 as well.
    QList<QByteArray> accessLogLines() const;
#endif

private:
    QString m_root;
    QTemporaryDir m_work;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
    QString m_tlsCertificate;
    QString m_tlsKey;
    QString m_serverConfig;
#ifdef Q_OS_WIN
    QString m_urlPrefix;
    QString m_accessLog;
    qint64 m_logOffset = 0;
#endif
};

// What a stretch of NginxServer::accessLogLines() holds, from line `from`
// on: requests, distinct connections, responses other than 200.
struct AccessLogShare
{
    int requests = 0;
    int connections = 0;
    int failures = 0;
};
AccessLogShare accessLogShare(const QList<QByteArray> &lines, int from);

// Certificates made with the openssl command in dir: ca.pem (the test CA,
// what CaFile names) and, for a server on 127.0.0.1, <name>.pem with
// <name>.key for name "valid", "wronghost" (issued for another name),
// "expired" and "unknownca" (issued by a CA nobody trusts). False with
// error when openssl fails.
bool makeTestCertificates(const QString &dir, QString &error);

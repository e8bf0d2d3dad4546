#pragma once

// Shared helpers of the test executables: a real nginx and a fault-injecting
// HTTP server on 127.0.0.1, throw-away folders, and a view into the dialog's
// state.

#include "ui/widget.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

class QTcpSocket;

// Writes data to path, creating parent folders. False on any failure.
bool writeFile(const QString &path, const QByteArray &data);
QByteArray readFile(const QString &path);
// A version record as the server published it: the transaction stamp the
// updater adds on install (and the line ends it is written with) taken out.
QByteArray unstampedRecord(const QString &path);
QString md5Hex(const QByteArray &data);

// Every file below root as relative path -> content ("/a/b" keys), hidden
// entries included, links not followed. For byte-for-byte comparisons.
QMap<QString, QByteArray> snapshotTree(const QString &root);

// Kills whatever of processes still runs, deletes them all, empties the list.
void endProcesses(QList<QProcess *> &processes);

// A port nobody listens on right now.
quint16 freeLocalPort();

// Lays out a release the way the update server publishes it:
// root/update.ini, root/<folder>/md5.txt and root/<folder>/<files>.
bool writeServerRelease(const QString &root, const QString &folder, const QString &version,
                        const QMap<QString, QByteArray> &files);

// An installation of the main program: system.cfg pointing at url, the
// version record (when version is not empty) and the given files.
bool writeInstallation(const QString &appDir, const QString &url, const QString &exeName,
                       const QString &version, const QMap<QString, QByteArray> &files);

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
    // <protocol>". Over TLS the server offers HTTP/2 as well.
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

// An HTTP/1.1 server for what a real server will not do on demand.
class FaultServer : public QObject
{
    Q_OBJECT
public:
    enum class Kind {
        Body,        // status, headers and body, then close
        LyingLength, // announces more bytes than it sends, then closes
        Stall,       // sends part of the body, then nothing
        Reset,       // sends part of the body, then resets the connection
                     // (resetAfterMs later)
        Endless,     // sends body bytes for ever
        Redirect,    // answers with Location
        Drip         // sends the first dripAfter body bytes, then one byte
                     // every dripIntervalMs, then closes; keeps silent when
                     // it announced more
    };
    // How a Body tells where it ends: Content-Length, nothing (the close
    // ends it), or chunked.
    enum class Framing { Length, Close, Chunked };
    struct Route
    {
        Kind kind = Kind::Body;
        Framing framing = Framing::Length;
        int status = 200;
        QByteArray body;
        qint64 announcedLength = -1; // -1: the body's real length
        QString location;
        int dripIntervalMs = 100;
        int dripAfter = 0;
        int resetAfterMs = 0;
        // Header lines added to the answer ("Name: value\r\n" each).
        QByteArray extraHeaders;
        // Not null: what a cache holds, served to every request that does
        // not say "Cache-Control: no-cache".
        QByteArray cachedBody;
        // Not empty: as a proxy that wants "Proxy-Authorization: <this>",
        // any other request gets 407 with a Basic challenge.
        QByteArray proxyAuthorization;
    };

    FaultServer();
    ~FaultServer() override;

    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    QString baseUrl() const;

    void setRoute(const QString &path, const Route &route);
    void setBody(const QString &path, const QByteArray &body, int status = 200);
    // Announces announcedLength bytes, sends sentPart, then keeps silent.
    void setStall(const QString &path, const QByteArray &sentPart, qint64 announcedLength);
    QStringList requestedPaths() const { return m_requests; }
    // The header lines of each request, in the order of requestedPaths();
    // names in lower case, every line kept.
    QList<QMultiMap<QByteArray, QByteArray>> requestHeaders() const { return m_requestHeaders; }
    void clearRequests()
    {
        m_requests.clear();
        m_requestHeaders.clear();
    }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QString &path, const QMultiMap<QByteArray, QByteArray> &headers);
    void feedEndless(QTcpSocket *socket);

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QSet<QTcpSocket *> m_endless;
    QStringList m_requests;
    QList<QMultiMap<QByteArray, QByteArray>> m_requestHeaders;
};

// The dialog with its state opened up for tests.
class WidgetProbe : public Widget
{
public:
    using Widget::applyUpdate;
    using Widget::cleanupTempFiles;
    using Widget::downloadNextFile;
    using Widget::m_appDir;
    using Widget::m_cancelCheckTimer;
    using Widget::m_cancelRequested;
    using Widget::m_currentIndex;
    using Widget::m_currentReply;
    using Widget::m_downloadQueue;
    using Widget::m_errorMessage;
    using Widget::m_isUpdating;
    using Widget::m_serverFolder;
    using Widget::m_serverVersion;
    using Widget::m_expectedManifestSha256;
    using Widget::setStartOnFailure;
    using Widget::m_statusText;
    using Widget::m_tempFiles;
    using Widget::m_totalFiles;
    using Widget::m_verifiedFiles;
    using Widget::onCancelUpdate;
    using Widget::onCheckCancelRequest;
    using Widget::onDownloadError;
    using Widget::onDownloadFinished;
    using Widget::onDownloadProgress;
    using Widget::onUpdateCompleted;
    using Widget::parseServerVersion;
    using Widget::refreshLabels;

    QString statusLabel() const;
    QString detailLabel() const;
    int overallValue() const;
    int overallMaximum() const;
    int fileValue() const;
    bool cancelEnabled() const;
    QString buttonText() const;
};

// ".exe" on Windows, nothing elsewhere.
QString executableSuffix();
// The built updater executable.
QString updaterBinary();
// Copies the updater into appDir so that appDir is its application folder.
bool installUpdaterBinary(const QString &appDir);

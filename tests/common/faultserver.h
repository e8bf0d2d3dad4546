#pragma once

// A fault-injecting HTTP server on 127.0.0.1: bodies, stalls, resets,
// redirects, drips, caches and proxy challenges on demand.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMultiMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

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
    // What path gets: its route, as a cache or a proxy wanting credentials
    // changes it.
    Route routeFor(const QString &path, const QMultiMap<QByteArray, QByteArray> &headers) const;
    void respond(QTcpSocket *socket, const QString &path, const QMultiMap<QByteArray, QByteArray> &headers);
    void feedEndless(QTcpSocket *socket);

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QSet<QTcpSocket *> m_endless;
    QStringList m_requests;
    QList<QMultiMap<QByteArray, QByteArray>> m_requestHeaders;
};

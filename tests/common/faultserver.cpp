#include "faultserver.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

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

// The body in two chunks, so a reader must join them.
QByteArray chunked(const QByteArray &body)
{
    const QByteArray first = body.left(body.size() / 2);
    const QByteArray second = body.mid(first.size());
    QByteArray framed;
    for (const QByteArray &chunk : {first, second}) {
        if (!chunk.isEmpty())
            framed += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    }
    return framed + "0\r\n\r\n";
}

// One byte of rest every intervalMs; closes after the last when closeAtEnd.
void drip(QTcpSocket *socket, QByteArray rest, int intervalMs, bool closeAtEnd)
{
    // A child of the socket, so it goes with it.
    auto *timer = new QTimer(socket);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, closeAtEnd, rest]() mutable {
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
    timer->start(intervalMs);
}

} // namespace

FaultServer::Route FaultServer::routeFor(const QString &path, const QMultiMap<QByteArray, QByteArray> &headers) const
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
    return route;
}

void FaultServer::respond(QTcpSocket *socket, const QString &path, const QMultiMap<QByteArray, QByteArray> &headers)
{
    const Route route = routeFor(path, headers);
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
            body = chunked(body);
        }
        socket->write(head + "\r\n" + body);
        socket->disconnectFromHost();
        return;
    }
    const qint64 length = route.announcedLength >= 0 ? route.announcedLength : route.body.size();
    head += "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
    if (route.kind == Kind::Drip) {
        socket->write(head + route.body.left(route.dripAfter));
        drip(socket, route.body.mid(route.dripAfter), route.dripIntervalMs, length == route.body.size());
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

// A TCP proxy on 127.0.0.1 that delays every byte by a fixed time, to stand
// in for a link with a round-trip time (no tc netem here).
//
//   bench_delay_proxy DELAY_MS UPSTREAM_HOST UPSTREAM_PORT
//
// Listens on a free port of 127.0.0.1 and prints it, alone on the first line
// of stdout, once it accepts connections. Every accepted connection is
// forwarded to the upstream; each chunk read in either direction is written
// on DELAY_MS after it arrived, in order, so a round trip costs 2 x DELAY_MS.
// A new connection costs one more round trip, as a handshake over such a
// link would: the client's first bytes leave no earlier than 2 x DELAY_MS
// after the accept, then take DELAY_MS like the rest. An end of stream
// (a half-close) is passed on as a half-close after the data before it; a
// reset or error ends both sides at that point of the stream.
//
// Runs until killed, or until its standard input closes when that is a pipe
// (a parent that started it through one and died takes it along).

#include "benchargs.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QElapsedTimer g_clock;
qint64 g_delayMs = 0;
sockaddr_in g_upstream{};

// A direction stops reading while this much waits to be written, so a fast
// sender cannot fill memory (about what a TCP window would allow in flight).
constexpr qint64 kMaxQueued = 8 * 1024 * 1024;

void prepareSocket(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Delayed chunks must leave as they are due, not when Nagle allows.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

class Connection;

// One way through a connection: reads from one socket, writes to the other.
class Direction : public QObject
{
public:
    // waitsForConnect: writes to the upstream, whose connect may still run.
    Direction(Connection *connection, int from, int to, qint64 notBeforeMs, bool waitsForConnect);

    void startReading() { m_readable->setEnabled(!m_stopped && !m_ended && m_queued < kMaxQueued); }
    void flush();
    void stop();
    bool finished() const { return m_shutdownSent; }

private:
    struct Chunk
    {
        qint64 dueMs;
        QByteArray data; // empty: end of stream
        bool reset = false;
    };

    void onReadable();
    void onWritable();
    void release();
    void schedule();
    void push(QByteArray data, bool reset = false);

    Connection *m_connection;
    int m_from;
    int m_to;
    qint64 m_notBeforeMs;
    bool m_waitsForConnect;
    bool m_stopped = false;
    qint64 m_lastDueMs = 0;
    qint64 m_queued = 0;
    std::deque<Chunk> m_chunks;
    QByteArray m_out;          // due, not yet written
    bool m_endDue = false;     // the end of stream follows m_out
    bool m_resetDue = false;
    bool m_ended = false;      // read side saw the end
    bool m_shutdownSent = false;
    QSocketNotifier *m_readable;
    QSocketNotifier *m_writable;
    QTimer m_timer;
};

class Connection : public QObject
{
public:
    explicit Connection(int client);
    ~Connection() override;

    bool upstreamReady() const { return m_upstreamReady; }
    // Checks the outcome of the non-blocking connect; false when it failed.
    bool finishConnect();
    void directionDone();
    void abort();

private:
    int m_client;
    int m_upstream;
    bool m_upstreamReady = false;
    bool m_closing = false;
    std::unique_ptr<Direction> m_toUpstream;
    std::unique_ptr<Direction> m_toClient;
};

Direction::Direction(Connection *connection, int from, int to, qint64 notBeforeMs, bool waitsForConnect)
    : m_connection(connection)
    , m_from(from)
    , m_to(to)
    , m_notBeforeMs(notBeforeMs)
    , m_waitsForConnect(waitsForConnect)
    , m_readable(new QSocketNotifier(from, QSocketNotifier::Read, this))
    , m_writable(new QSocketNotifier(to, QSocketNotifier::Write, this))
{
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(m_readable, &QSocketNotifier::activated, this, &Direction::onReadable);
    connect(m_writable, &QSocketNotifier::activated, this, &Direction::onWritable);
    connect(&m_timer, &QTimer::timeout, this, &Direction::release);
}

void Direction::stop()
{
    m_stopped = true;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    m_timer.stop();
}

void Direction::push(QByteArray data, bool reset)
{
    const qint64 now = g_clock.elapsed();
    // Monotonic due times keep the order whatever the clock does.
    const qint64 due = std::max(std::max(now, m_notBeforeMs) + g_delayMs, m_lastDueMs);
    m_lastDueMs = due;
    m_queued += data.size();
    m_chunks.push_back({due, std::move(data), reset});
    schedule();
}

void Direction::onReadable()
{
    if (m_stopped)
        return;
    char buffer[64 * 1024];
    while (m_queued < kMaxQueued) {
        const ssize_t n = ::recv(m_from, buffer, sizeof buffer, 0);
        if (n > 0) {
            push(QByteArray(buffer, int(n)));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        m_ended = true;
        m_readable->setEnabled(false);
        push(QByteArray(), n < 0);
        return;
    }
    m_readable->setEnabled(false);
}

void Direction::schedule()
{
    if (m_chunks.empty() || m_timer.isActive())
        return;
    m_timer.start(int(std::max<qint64>(0, m_chunks.front().dueMs - g_clock.elapsed())));
}

void Direction::release()
{
    if (m_stopped)
        return;
    const qint64 now = g_clock.elapsed();
    while (!m_chunks.empty() && m_chunks.front().dueMs <= now && !m_endDue) {
        Chunk &chunk = m_chunks.front();
        if (chunk.data.isEmpty()) {
            m_endDue = true;
            m_resetDue = chunk.reset;
        } else {
            m_out += chunk.data;
        }
        m_chunks.pop_front();
    }
    schedule();
    flush();
}

void Direction::onWritable()
{
    m_writable->setEnabled(false);
    if (m_stopped || (m_waitsForConnect && !m_connection->upstreamReady() && !m_connection->finishConnect()))
        return;
    flush();
}

void Direction::flush()
{
    if (m_stopped)
        return;
    if (m_waitsForConnect && !m_connection->upstreamReady()) {
        // The connect's outcome shows as writability of the upstream.
        m_writable->setEnabled(true);
        return;
    }
    while (!m_out.isEmpty()) {
        const ssize_t n = ::send(m_to, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writable->setEnabled(true);
            return;
        }
        if (n < 0) {
            m_connection->abort();
            return;
        }
        m_out.remove(0, int(n));
        m_queued -= n;
    }
    if (!m_ended)
        startReading();
    if (m_endDue && !m_shutdownSent) {
        if (m_resetDue) {
            m_connection->abort();
            return;
        }
        ::shutdown(m_to, SHUT_WR);
        m_shutdownSent = true;
        m_connection->directionDone();
    }
}

Connection::Connection(int client)
    : m_client(client)
    , m_upstream(::socket(AF_INET, SOCK_STREAM, 0))
{
    const qint64 accepted = g_clock.elapsed();
    prepareSocket(m_client);
    if (m_upstream >= 0) {
        prepareSocket(m_upstream);
        if (::connect(m_upstream, reinterpret_cast<const sockaddr *>(&g_upstream), sizeof g_upstream) == 0)
            m_upstreamReady = true;
        else if (errno != EINPROGRESS) {
            std::fprintf(stderr, "bench_delay_proxy: cannot connect upstream: %s\n", std::strerror(errno));
            ::close(m_upstream);
            m_upstream = -1;
        }
    }
    if (m_upstream < 0) {
        m_closing = true;
        deleteLater();
        return;
    }
    m_toUpstream = std::make_unique<Direction>(this, m_client, m_upstream, accepted + 2 * g_delayMs, true);
    m_toClient = std::make_unique<Direction>(this, m_upstream, m_client, 0, false);
    m_toUpstream->startReading();
    if (m_upstreamReady)
        m_toClient->startReading();
    else
        m_toUpstream->flush(); // waits for the connect to complete
}

Connection::~Connection()
{
    m_toUpstream.reset();
    m_toClient.reset();
    ::close(m_client);
    if (m_upstream >= 0)
        ::close(m_upstream);
}

bool Connection::finishConnect()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_upstream, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        std::fprintf(stderr, "bench_delay_proxy: cannot connect upstream: %s\n", std::strerror(error));
        abort();
        return false;
    }
    m_upstreamReady = true;
    m_toClient->startReading();
    m_toClient->flush();
    return true;
}

void Connection::directionDone()
{
    if (!m_closing && m_toUpstream->finished() && m_toClient->finished()) {
        m_closing = true;
        m_toUpstream->stop();
        m_toClient->stop();
        deleteLater();
    }
}

void Connection::abort()
{
    if (m_closing)
        return;
    m_closing = true;
    // A reset for both ends, as the failing side gave.
    const linger hard{1, 0};
    ::setsockopt(m_client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::setsockopt(m_upstream, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    m_toUpstream->stop();
    m_toClient->stop();
    deleteLater();
}

class Listener : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override { new Connection(int(descriptor)); }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const BenchArguments arguments(argc, argv, "bench_delay_proxy DELAY_MS UPSTREAM_HOST UPSTREAM_PORT");
    if (arguments.count() != 3)
        return arguments.usageError();
    bool ok = false;
    g_delayMs = arguments.text(1).toLongLong(&ok);
    const int port = arguments.number(3, 0);
    if (!ok || g_delayMs < 0 || port <= 0 || port > 65535) {
        std::fprintf(stderr, "bench_delay_proxy: bad delay or port\n");
        return 2;
    }
    QHostAddress host(arguments.text(2));
    if (host.isNull()) {
        const QList<QHostAddress> found = QHostInfo::fromName(arguments.text(2)).addresses();
        for (const QHostAddress &candidate : found) {
            if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
                host = candidate;
                break;
            }
        }
    }
    if (host.protocol() != QAbstractSocket::IPv4Protocol) {
        std::fprintf(stderr, "bench_delay_proxy: no IPv4 address for %s\n", qPrintable(arguments.text(2)));
        return 2;
    }
    g_upstream.sin_family = AF_INET;
    g_upstream.sin_port = htons(quint16(port));
    g_upstream.sin_addr.s_addr = htonl(host.toIPv4Address());
    g_clock.start();

    Listener listener;
    listener.setMaxPendingConnections(128);
    if (!listener.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench_delay_proxy: %s\n", qPrintable(listener.errorString()));
        return 1;
    }
    std::printf("%u\n", unsigned(listener.serverPort()));
    std::fflush(stdout);

    std::unique_ptr<QSocketNotifier> input;
    struct stat status{};
    if (::fstat(STDIN_FILENO, &status) == 0 && S_ISFIFO(status.st_mode)) {
        input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(input.get(), &QSocketNotifier::activated, [&input]() {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                input->setEnabled(false);
                QCoreApplication::quit();
            }
        });
    }
    return app.exec();
}

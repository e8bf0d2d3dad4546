#include "proxyconnection.h"

#include "sharedlink.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QElapsedTimer g_clock;
ProxySetup g_setup;

// A direction stops reading while this much waits to be written, so a fast
// sender cannot fill memory (about what a TCP window would allow in flight).
constexpr qint64 kMaxQueued = 8 * 1024 * 1024;
// With a rate: the most a connection queues a direction for the link.
constexpr qint64 kMaxWaiting = 64 * 1024;

void prepareSocket(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Delayed chunks must leave as they are due, not when Nagle allows.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

class Connection;

// One way through a connection: reads from one socket, writes to the other.
class Direction : public QObject, public LinkSender
{
public:
    // waitsForConnect: writes to the upstream, whose connect may still run.
    // link: the bandwidth its bytes pass first, or null.
    Direction(Connection *connection, int from, int to, qint64 notBeforeMs, bool waitsForConnect,
              SharedLink *link);
    ~Direction() override;

    void startReading() { m_readable->setEnabled(!m_stopped && !m_ended && roomToRead()); }
    void flush();
    void stop();
    bool finished() const { return m_shutdownSent; }

    qint64 waitingBytes() const override { return m_waiting.size(); }
    void pass(qint64 bytes) override;

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
    // What was read: to the link when there is one, else to the delay.
    void take(QByteArray data);
    void takeEnd(bool reset);
    bool roomToRead() const { return m_queued < kMaxQueued && m_waiting.size() < kMaxWaiting; }

    Connection *m_connection;
    SharedLink *m_link;
    QByteArray m_waiting;          // read, waiting for the link
    bool m_endWaiting = false;     // the end of stream follows m_waiting
    bool m_resetWaiting = false;
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

Direction::Direction(Connection *connection, int from, int to, qint64 notBeforeMs, bool waitsForConnect,
                     SharedLink *link)
    : m_connection(connection)
    , m_link(link)
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

Direction::~Direction()
{
    if (m_link)
        m_link->forget(this);
}

void Direction::stop()
{
    if (m_link)
        m_link->forget(this);
    m_stopped = true;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    m_timer.stop();
}

void Direction::push(QByteArray data, bool reset)
{
    const qint64 now = g_clock.elapsed();
    // Monotonic due times keep the order whatever the clock does.
    const qint64 due = std::max(std::max(now, m_notBeforeMs) + g_setup.delayMs, m_lastDueMs);
    m_lastDueMs = due;
    m_queued += data.size();
    m_chunks.push_back({due, std::move(data), reset});
    schedule();
}

void Direction::take(QByteArray data)
{
    if (!m_link) {
        push(std::move(data));
        return;
    }
    m_waiting += data;
    m_link->ask(this);
}

void Direction::takeEnd(bool reset)
{
    if (m_waiting.isEmpty()) {
        push(QByteArray(), reset);
        return;
    }
    m_endWaiting = true;
    m_resetWaiting = reset;
}

void Direction::pass(qint64 bytes)
{
    if (m_stopped)
        return;
    push(m_waiting.left(int(bytes)));
    m_waiting.remove(0, int(bytes));
    if (m_waiting.isEmpty() && m_endWaiting) {
        m_endWaiting = false;
        push(QByteArray(), m_resetWaiting);
    }
    if (!m_ended)
        startReading();
}

void Direction::onReadable()
{
    if (m_stopped)
        return;
    char buffer[64 * 1024];
    while (roomToRead()) {
        const ssize_t n = ::recv(m_from, buffer, sizeof buffer, 0);
        if (n > 0) {
            take(QByteArray(buffer, int(n)));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        m_ended = true;
        m_readable->setEnabled(false);
        takeEnd(n < 0);
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
        if (::connect(m_upstream, reinterpret_cast<const sockaddr *>(&g_setup.upstream), sizeof g_setup.upstream) == 0)
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
    m_toUpstream =
        std::make_unique<Direction>(this, m_client, m_upstream, accepted + 2 * g_setup.delayMs, true, g_setup.toUpstream);
    m_toClient = std::make_unique<Direction>(this, m_upstream, m_client, 0, false, g_setup.toClient);
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

} // namespace

void setUpProxy(const ProxySetup &setup)
{
    g_setup = setup;
    g_clock.start();
}

void forwardConnection(int client)
{
    new Connection(client);
}

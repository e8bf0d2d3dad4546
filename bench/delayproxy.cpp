// A TCP proxy on 127.0.0.1 that delays every byte by a fixed time, to stand
// in for a link with a round-trip time (no tc netem here).
//
//   bench_delay_proxy DELAY_MS UPSTREAM_HOST UPSTREAM_PORT [--rate-mbit MBIT]
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
// With --rate-mbit, bytes first pass a link of MBIT megabits (10^6 bits) a
// second each way, then take DELAY_MS from there: one link for the whole
// proxy, its bandwidth shared by all connections (round robin, see
// SharedLink), as a real link is. Payload bytes count, no header overhead.
// A connection keeps at most 64 KiB a direction waiting for the link and
// stops reading beyond that, so its sender feels the link's pace. Without
// the option nothing but the delay applies, as before.
//
// Runs until killed, or until its standard input closes when that is a pipe
// (a parent that started it through one and died takes it along).

#include "benchargs.h"
#include "proxyconnection.h"
#include "sharedlink.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>

#include <cerrno>
#include <cstdio>
#include <memory>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Listener : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override { forwardConnection(int(descriptor)); }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    BenchArguments arguments(argc, argv, "bench_delay_proxy DELAY_MS UPSTREAM_HOST UPSTREAM_PORT [--rate-mbit MBIT]");
    QString rateText;
    const bool limited = arguments.takeOption(QStringLiteral("--rate-mbit"), rateText);
    if (arguments.count() != 3)
        return arguments.usageError();
    ProxySetup setup;
    bool ok = false;
    setup.delayMs = arguments.text(1).toLongLong(&ok);
    const int port = arguments.number(3, 0);
    bool rateOk = true;
    const double mbit = limited ? rateText.toDouble(&rateOk) : 0;
    if (!ok || setup.delayMs < 0 || port <= 0 || port > 65535 || !rateOk || (limited && !(mbit > 0))) {
        std::fprintf(stderr, "bench_delay_proxy: bad delay, port or rate\n");
        return 2;
    }
    std::unique_ptr<SharedLink> toUpstream;
    std::unique_ptr<SharedLink> toClient;
    if (limited) {
        toUpstream = std::make_unique<SharedLink>(mbit * 1e6 / 8);
        toClient = std::make_unique<SharedLink>(mbit * 1e6 / 8);
        setup.toUpstream = toUpstream.get();
        setup.toClient = toClient.get();
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
    setup.upstream.sin_family = AF_INET;
    setup.upstream.sin_port = htons(quint16(port));
    setup.upstream.sin_addr.s_addr = htonl(host.toIPv4Address());
    setUpProxy(setup);

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

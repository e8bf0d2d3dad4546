#pragma once

// The connections of bench_delay_proxy (see delayproxy.cpp for what it
// does): each accepted one forwarded to the upstream, both directions
// delayed and, with a link, paced by its bandwidth.

#include <QtGlobal>

#include <netinet/in.h>

class SharedLink;

struct ProxySetup
{
    qint64 delayMs = 0;
    sockaddr_in upstream{};
    // The bandwidth each way, shared by all connections; null: no limit.
    SharedLink *toUpstream = nullptr;
    SharedLink *toClient = nullptr;
};

// Once, before the first connection; also starts the proxy's clock.
void setUpProxy(const ProxySetup &setup);

// Forwards client (an accepted socket, now the proxy's to close) until both
// directions ended; cleans up after itself.
void forwardConnection(int client);

#include "sharedlink.h"

#include <algorithm>
#include <cmath>

SharedLink::SharedLink(double bytesPerSecond)
    : m_bytesPerSecond(bytesPerSecond)
    // A turn every 2 ms or so: fair among connections, few timer wake-ups.
    , m_quantum(std::max<qint64>(4096, qint64(bytesPerSecond / 500)))
    , m_tokens(double(m_quantum))
{
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SharedLink::serve);
}

void SharedLink::ask(LinkSender *sender)
{
    if (std::find(m_turns.cbegin(), m_turns.cend(), sender) != m_turns.cend())
        return;
    if (m_turns.empty()) {
        // An idle link saved up one quantum at most; while busy nothing is
        // capped, so a late timer loses no bandwidth.
        refill();
        m_tokens = std::min(m_tokens, double(m_quantum));
    }
    m_turns.push_back(sender);
    if (!m_timer.isActive())
        serve();
}

void SharedLink::forget(LinkSender *sender)
{
    m_turns.erase(std::remove(m_turns.begin(), m_turns.end(), sender), m_turns.end());
}

void SharedLink::refill()
{
    const qint64 now = m_clock.nsecsElapsed();
    m_tokens += double(now - m_filledNs) * m_bytesPerSecond / 1e9;
    m_filledNs = now;
}

void SharedLink::serve()
{
    refill();
    while (!m_turns.empty()) {
        LinkSender *sender = m_turns.front();
        const qint64 wanted = std::min(sender->waitingBytes(), m_quantum);
        if (wanted <= 0) {
            m_turns.pop_front();
            continue;
        }
        if (m_tokens < double(wanted)) {
            const double ms = (double(wanted) - m_tokens) * 1000.0 / m_bytesPerSecond;
            m_timer.start(std::max(1, int(std::ceil(ms))));
            return;
        }
        m_tokens -= double(wanted);
        m_turns.pop_front();
        // The sender's next turn comes after everyone else's.
        if (sender->waitingBytes() > wanted)
            m_turns.push_back(sender);
        sender->pass(wanted);
    }
}

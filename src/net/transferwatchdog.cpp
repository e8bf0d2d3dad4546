#include "transferwatchdog.h"

#include <QtGlobal>

TransferWatchdog::TransferWatchdog(const TransferLimits &limits)
    : m_limits(limits)
{
    start(0);
}

int TransferWatchdog::sampleIntervalMs() const
{
    // About 60 samples a window, never busier than every 10 ms.
    return qBound(10, m_limits.slowWindowMs / 60, 1000);
}

void TransferWatchdog::start(qint64 nowMs)
{
    m_deadlineAtMs = nowMs + m_limits.deadlineMs;
    m_samples = {{nowMs, 0}};
}

qint64 TransferWatchdog::msUntilDeadline(qint64 nowMs) const
{
    return qMax<qint64>(0, m_deadlineAtMs - nowMs);
}

TransferWatchdog::Verdict TransferWatchdog::checkDeadline(qint64 nowMs, bool paused)
{
    if (!watchesDeadline())
        return Verdict::Fine;
    if (paused) {
        m_deadlineAtMs = nowMs + m_limits.deadlineMs;
        return Verdict::Fine;
    }
    return nowMs >= m_deadlineAtMs ? Verdict::DeadlinePassed : Verdict::Fine;
}

TransferWatchdog::Verdict TransferWatchdog::sample(qint64 nowMs, qint64 received, bool paused)
{
    if (!watchesRate())
        return Verdict::Fine;
    if (paused) {
        m_samples = {{nowMs, received}};
        return Verdict::Fine;
    }
    const qint64 minBytes = m_limits.minBytesPerSecond * m_limits.slowWindowMs / 1000;
    const qint64 windowStart = nowMs - m_limits.slowWindowMs;
    // The newest sample at or before the window's start is its base.
    while (m_samples.size() > 1 && m_samples.at(1).atMs <= windowStart)
        m_samples.removeFirst();
    if (windowStart >= m_samples.first().atMs && received - m_samples.first().bytes < minBytes)
        return Verdict::TooSlow;
    m_samples.append({nowMs, received});
    return Verdict::Fine;
}

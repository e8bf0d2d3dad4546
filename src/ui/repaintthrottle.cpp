#include "repaintthrottle.h"

#include <utility>

RepaintThrottle::RepaintThrottle(std::function<void()> show)
    : m_show(std::move(show))
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this]() { flush(); });
}

void RepaintThrottle::schedule()
{
    if (m_timer.isActive())
        return;
    const qint64 since = m_sinceShown.isValid() ? m_sinceShown.elapsed() : kRepaintIntervalMs;
    m_timer.start(int(qMax<qint64>(0, kRepaintIntervalMs - since)));
}

void RepaintThrottle::flush()
{
    m_timer.stop();
    m_sinceShown.restart();
    m_show();
}

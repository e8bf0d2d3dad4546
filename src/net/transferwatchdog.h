#pragma once

#include "transfer.h"

#include <QVector>

// Bounds a transfer that data keeps alive, where Qt's no-data time-out never
// fires: a deadline for the whole of it and a minimum average rate over a
// sliding window. It keeps no clock of its own: the caller says what time
// it is (in ms since start()) and how many bytes have arrived.
class TransferWatchdog
{
public:
    enum class Verdict {
        Fine,
        DeadlinePassed,
        TooSlow,
    };

    explicit TransferWatchdog(const TransferLimits &limits);

    bool watchesDeadline() const { return m_limits.deadlineMs > 0; }
    bool watchesRate() const { return m_limits.slowWindowMs > 0 && m_limits.minBytesPerSecond > 0; }
    // How often the caller should sample() while the rate is watched.
    int sampleIntervalMs() const;

    // Both watches begin at nowMs with nothing received.
    void start(qint64 nowMs);

    // How long from nowMs until the deadline is due; 0 when it is.
    qint64 msUntilDeadline(qint64 nowMs) const;
    // At the deadline. While paused (the user is at a prompt, and that time
    // is not the server's) the deadline starts again from nowMs.
    Verdict checkDeadline(qint64 nowMs, bool paused);

    // A sample of the bytes received by nowMs. TooSlow once a whole window
    // lies behind and less than its share of bytes came within it. While
    // paused the window starts again from this sample.
    Verdict sample(qint64 nowMs, qint64 received, bool paused);

private:
    struct Sample
    {
        qint64 atMs;
        qint64 bytes;
    };

    TransferLimits m_limits;
    qint64 m_deadlineAtMs = 0;
    QVector<Sample> m_samples; // oldest first
};

#pragma once

// One direction of a link with a bandwidth, shared by every connection whose
// bytes go that way: a token bucket filled at the link's rate, handed out in
// turns (round robin, one quantum a turn) to the senders that have bytes
// waiting, as a real link's bottleneck serves the flows through it.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>

class LinkSender
{
public:
    // Bytes this sender has waiting for the link.
    virtual qint64 waitingBytes() const = 0;
    // bytes (at most waitingBytes()) may go on now.
    virtual void pass(qint64 bytes) = 0;

protected:
    ~LinkSender() = default;
};

class SharedLink : public QObject
{
public:
    explicit SharedLink(double bytesPerSecond);

    // sender has bytes waiting: it gets turns until it has none left.
    void ask(LinkSender *sender);
    // sender goes away: no more turns.
    void forget(LinkSender *sender);

private:
    void serve();
    void refill();

    double m_bytesPerSecond;
    // What one turn passes at most, and the bucket's depth: an idle link
    // saves up no more than that.
    qint64 m_quantum;
    double m_tokens;
    qint64 m_filledNs = 0;
    QElapsedTimer m_clock;
    std::deque<LinkSender *> m_turns;
    QTimer m_timer;
};

#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Progress reaches the screen about 30 times a second at most.
constexpr int kRepaintIntervalMs = 33;

// Shows what changed at most once per kRepaintIntervalMs: callers note their
// newest values and ask for schedule(); show runs when the interval since
// the last showing has passed. flush() shows at once, so an end can put the
// last state on screen.
class RepaintThrottle
{
public:
    explicit RepaintThrottle(std::function<void()> show);
    RepaintThrottle(const RepaintThrottle &) = delete;
    RepaintThrottle &operator=(const RepaintThrottle &) = delete;

    void schedule();
    void flush();

private:
    std::function<void()> m_show;
    QTimer m_timer;
    QElapsedTimer m_sinceShown;
};

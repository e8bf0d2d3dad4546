#pragma once

// What the benchmarks that run whole updater processes share: children that
// die with the benchmark, bench_delay_proxy as a child, and one run of the
// updater from its start to the end of its update.

#include <QByteArray>
#include <QProcess>
#include <QString>

// A child that is killed when the benchmark dies, however it dies, so no
// updater is left waiting on a dead server.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

// The proxy in its own process, so its timers keep time whatever the
// measured program does.
class DelayProxy
{
public:
    ~DelayProxy() { stop(); }

    // rateMbit > 0 adds bench_delay_proxy's --rate-mbit.
    bool start(int delayMs, quint16 upstreamPort, QString &error, double rateMbit = 0);
    // It leaves when its standard input closes.
    void stop();
    quint16 port() const { return m_port; }

private:
    ChildProcess m_process;
    quint16 m_port = 0;
};

struct UpdaterRun
{
    bool ok = false;
    double ms = 0; // start .. its 更新完成 line (the update applied)
    QString error;
    QByteArray output;
};

// Runs appDir's updater offscreen until its 更新完成 line (or 更新未完成, or
// timeoutMs), then waits for its exit: ok when it completed and exited 0.
// What it installed is the caller's to check.
UpdaterRun runUpdaterProcess(const QString &appDir, int timeoutMs);

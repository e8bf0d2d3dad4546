#include "updaterrun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QStringList>

#include <csignal>

#include <sys/prctl.h>

void ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

bool DelayProxy::start(int delayMs, quint16 upstreamPort, QString &error, double rateMbit)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/bench_delay_proxy");
    QStringList arguments{QString::number(delayMs), QStringLiteral("127.0.0.1"), QString::number(upstreamPort)};
    if (rateMbit > 0)
        arguments << QStringLiteral("--rate-mbit") << QString::number(rateMbit);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    QByteArray line;
    QElapsedTimer timer;
    timer.start();
    while (!line.contains('\n') && timer.elapsed() < 10000 && m_process.waitForReadyRead(int(10000 - timer.elapsed())))
        line += m_process.readAllStandardOutput();
    m_port = quint16(line.left(line.indexOf('\n')).trimmed().toUInt());
    if (m_port == 0) {
        error = QStringLiteral("%1 gave no port: %2").arg(program, m_process.errorString());
        stop();
        return false;
    }
    return true;
}

void DelayProxy::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

UpdaterRun runUpdaterProcess(const QString &appDir, int timeoutMs)
{
    UpdaterRun run;
    ChildProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(environment);
    updater.setProcessChannelMode(QProcess::MergedChannels);
    int scanned = 0;
    QElapsedTimer timer;
    timer.start();
    updater.start(appDir + QStringLiteral("updater"), QStringList());
    while (timer.elapsed() < timeoutMs && updater.waitForReadyRead(int(timeoutMs - timer.elapsed()))) {
        run.output += updater.readAll();
        const int end = run.output.lastIndexOf('\n');
        const QList<QByteArray> lines = run.output.mid(scanned, end + 1 - scanned).split('\n');
        scanned = end + 1;
        bool done = false;
        for (const QByteArray &line : lines) {
            const QString text = QString::fromUtf8(line).trimmed();
            if (text == QStringLiteral("更新完成")) {
                run.ms = timer.nsecsElapsed() / 1e6;
                done = true;
            }
            if (text.startsWith(QStringLiteral("更新未完成")))
                run.error = text;
        }
        if (done || !run.error.isEmpty())
            break;
    }
    if (run.ms > 0 && !updater.waitForFinished(30000))
        run.error = QStringLiteral("did not exit after completing");
    if (updater.state() != QProcess::NotRunning) {
        updater.kill();
        updater.waitForFinished(5000);
    }
    run.output += updater.readAll();
    if (run.ms <= 0 && run.error.isEmpty())
        run.error = QStringLiteral("no completion line");
    if (run.error.isEmpty() && (updater.exitStatus() != QProcess::NormalExit || updater.exitCode() != 0))
        run.error = QStringLiteral("exit code %1").arg(updater.exitCode());
    run.ok = run.error.isEmpty();
    return run;
}

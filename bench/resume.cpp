// Downloads that survive a kill: the real updater fetches one 200 MiB file
// from a throw-away nginx (held to 40 MiB/s so the cut lands where it
// should), is killed with SIGKILL once 150 MiB of it are on disk, and is
// started again. Peer, in the same run: the same kill and restart with the
// resume folder emptied in between, which is what a run that keeps nothing
// fetches. Prints the bytes nginx sent for the file in each second run, the
// ratio, and whether the installed file is byte-exact (target: under 60 MiB
// in the second run).
//
//   bench_resume [parent-directory]
//
// UPDATER_BINARY_DIR names the build folder (build/ of the checkout when unset).

#include "benchargs.h"
#include "config/constants.h"
#include "fs/safefs.h"
#include "net/resumestore.h"
#include "testsupport.h"
#include "updaterrun.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kFileBytes = 200 * kMiB;
constexpr qint64 kCutBytes = 150 * kMiB;
constexpr int kRunTimeoutMs = 300 * 1000;
const QString kKey = QStringLiteral("/big.bin");

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Runs the updater until the file's partial copy holds cut bytes, then
// kills it. The size the copy had once it was dead, or -1.
qint64 runAndKill(const QString &appDir)
{
    const QString part = ResumeStore(appDir + kUpdateTmpDir + kResumeName + QLatin1Char('/')).partPath(resumeId(kKey));
    ChildProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(environment);
    updater.setStandardOutputFile(QProcess::nullDevice());
    updater.setStandardErrorFile(QProcess::nullDevice());
    updater.start(appDir + QStringLiteral("updater"), QStringList());
    QElapsedTimer timer;
    timer.start();
    while (QFileInfo(part).size() < kCutBytes && updater.state() != QProcess::NotRunning
           && timer.elapsed() < kRunTimeoutMs)
        QThread::msleep(5);
    ::kill(pid_t(updater.processId()), SIGKILL);
    updater.waitForFinished(30000);
    return QFileInfo(part).exists() ? QFileInfo(part).size() : -1;
}

// Bytes nginx sent for the file in log lines from `from` on.
qint64 bytesSent(const NginxServer &nginx, int from, const QString &path)
{
    qint64 bytes = 0;
    const QList<QByteArray> lines = nginx.accessLogLines();
    for (int i = from; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        if (fields.value(1) == path.toUtf8())
            bytes += fields.value(4).toLongLong();
    }
    return bytes;
}

struct Result
{
    qint64 cutAt = -1;
    qint64 secondRunBytes = -1;
    bool exact = false;
};

Result cutAndRestart(NginxServer &nginx, const QString &appDir, const QByteArray &md5, bool keep)
{
    Result result;
    if (!writeInstallation(appDir, nginx.baseUrl(), QStringLiteral("/bin/true"), QStringLiteral("1.0"), {})
        || !installUpdaterBinary(appDir))
        return result;
    result.cutAt = runAndKill(appDir);
    if (!keep)
        removeTree(appDir + kUpdateTmpDir + kResumeName);
    const int from = nginx.accessLogLines().size();
    if (!runUpdaterProcess(appDir, kRunTimeoutMs).ok)
        return result;
    result.secondRunBytes = bytesSent(nginx, from, QStringLiteral("/2.0") + kKey);
    QFile installed(appDir + kKey.mid(1));
    QCryptographicHash hash(QCryptographicHash::Md5);
    result.exact = installed.open(QIODevice::ReadOnly) && hash.addData(&installed) && hash.result().toHex() == md5;
    return result;
}

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / kMiB, 'f', 1) + QStringLiteral(" MiB");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("UPDATER_BINARY_DIR"))
        qputenv("UPDATER_BINARY_DIR", QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).canonicalFilePath().toUtf8());
    const BenchArguments arguments(argc, argv, "bench_resume [parent-directory]");
    if (arguments.count() > 1)
        return arguments.usageError();
    QTemporaryDir work(arguments.parentDirectory(1) + QStringLiteral("/bench_resume-XXXXXX"));
    if (!work.isValid())
        return 1;

    QByteArray data(int(kFileBytes), Qt::Uninitialized);
    QRandomGenerator random(7);
    random.fillRange(reinterpret_cast<quint32 *>(data.data()), int(kFileBytes / 4));
    const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    const QString root = work.filePath(QStringLiteral("server"));
    if (!writeServerRelease(root, QStringLiteral("2.0"), QStringLiteral("2.0"), {{kKey, data}}))
        return 1;
    data.clear();

    NginxServer nginx(root);
    nginx.addServerConfig(QStringLiteral("    limit_rate 40m;\n"));
    if (!nginx.start()) {
        say(QStringLiteral("nginx: ") + nginx.errorText());
        return 1;
    }
    say(QStringLiteral("one %1 file at 40 MiB/s, the updater killed at %2 and started again")
            .arg(mib(kFileBytes), mib(kCutBytes)));
    const Result kept = cutAndRestart(nginx, work.filePath(QStringLiteral("kept")) + QLatin1Char('/'), md5, true);
    const Result peer = cutAndRestart(nginx, work.filePath(QStringLiteral("emptied")) + QLatin1Char('/'), md5, false);
    for (const auto &[name, result] : {std::pair<const char *, Result>{"resumed", kept}, {"resume folder emptied", peer}})
        say(QStringLiteral("%1: killed with %2 on disk; the second run fetched %3; installed file byte-exact: %4")
                .arg(QLatin1String(name), mib(result.cutAt), mib(result.secondRunBytes),
                     result.exact ? QStringLiteral("yes") : QStringLiteral("NO")));
    if (kept.secondRunBytes < 0 || peer.secondRunBytes <= 0)
        return 1;
    say(QStringLiteral("second run, resumed / emptied: %1 (target: under 60 MiB fetched)")
            .arg(double(kept.secondRunBytes) / double(peer.secondRunBytes), 0, 'f', 3));
    return kept.exact && peer.exact && kept.secondRunBytes < 60 * kMiB ? 0 : 1;
}

// Applying deltas, against zstd's own command line in the same run.
//
//   bench_delta speed OLD_DIR NEW_DIR [repeats]
//       Patch speed: every file of NEW_DIR whose content differs from the
//       same path in OLD_DIR is patched (level 19, long-distance matching,
//       as a publish does); the patches are then applied in-process with
//       DeltaDecoder (fed in 64 KiB pieces, as from the network) and with
//       `zstd -d --long=31 --patch-from=OLD`, best of `repeats` (5). Both
//       outputs are checked byte for byte. Target: within 1.3x.
//   bench_delta memory [DIR] [MiB]
//       Memory: a MiB-sized (1024) base and a new file with about 3 % of it
//       changed in 32 KiB runs; the patch (level 3 with long-distance
//       matching, to keep the set-up short) is applied in a child process of
//       this program and by zstd. Reported: the child's peak anonymous
//       (private) memory, sampled every 2 ms, the mapped base and output not
//       counted, and its peak RSS with them (VmHWM); zstd's peak RSS from
//       getrusage. Target: private under 160 MiB.

#include "delta/deltadecoder.h"
#include "publish/deltas.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace {

struct Pair
{
    QString oldPath;
    QString newPath;
    QString patchPath;
    qint64 newSize = 0;
};

void say(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

QString mib(double bytes)
{
    return QString::number(bytes / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}

bool sameFiles(const QString &a, const QString &b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    }
    return true;
}

bool applyInProcess(const QString &base, const QString &patch, const QString &out, QString &error)
{
    QFile in(patch);
    if (!in.open(QIODevice::ReadOnly)) {
        error = in.errorString();
        return false;
    }
    DeltaDecoder decoder;
    if (!decoder.begin(base, out, in.size(), DeltaDecoder::Sink(), error))
        return false;
    QByteArray chunk;
    while (!(chunk = in.read(64 * 1024)).isEmpty()) {
        if (!decoder.feed(chunk.constData(), chunk.size(), error))
            return false;
    }
    return decoder.finish(error);
}

bool applyWithZstd(const QString &base, const QString &patch, const QString &out)
{
    return QProcess::execute(QStringLiteral("zstd"),
                             {QStringLiteral("-d"), QStringLiteral("-q"), QStringLiteral("-f"),
                              QStringLiteral("--long=31"), QStringLiteral("--patch-from=") + base, patch,
                              QStringLiteral("-o"), out})
        == 0;
}

int speed(const QString &oldDir, const QString &newDir, int repeats)
{
    QTemporaryDir work;
    QVector<Pair> pairs;
    qint64 changedBytes = 0;
    qint64 patchBytes = 0;
    QDirIterator it(newDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        Pair pair;
        pair.newPath = it.next();
        pair.oldPath = oldDir + pair.newPath.mid(newDir.size());
        if (!QFileInfo(pair.oldPath).isFile() || sameFiles(pair.oldPath, pair.newPath))
            continue;
        pair.patchPath = work.filePath(QStringLiteral("p%1.zst").arg(pairs.size()));
        pair.newSize = QFileInfo(pair.newPath).size();
        DeltaObjectResult made;
        QString error;
        if (!makeDeltaObject(pair.oldPath, QString(), pair.newPath, pair.patchPath, pair.newSize, 19, made, error)
            || !made.kept) {
            say(QStringLiteral("no patch for %1 %2").arg(pair.newPath, error));
            continue;
        }
        changedBytes += pair.newSize;
        patchBytes += made.size;
        pairs.append(pair);
    }
    if (pairs.isEmpty()) {
        say(QStringLiteral("no changed files"));
        return 1;
    }
    say(QStringLiteral("%1 changed files, %2, patches %3 (%4 %)")
            .arg(pairs.size())
            .arg(mib(changedBytes), mib(patchBytes))
            .arg(100.0 * double(patchBytes) / double(changedBytes), 0, 'f', 1));
    const QString out = work.filePath(QStringLiteral("out"));
    // Both must give the new files before either is timed.
    for (const Pair &pair : pairs) {
        QString error;
        if (!applyInProcess(pair.oldPath, pair.patchPath, out, error) || !sameFiles(out, pair.newPath)) {
            say(QStringLiteral("in-process apply failed for %1: %2").arg(pair.newPath, error));
            return 1;
        }
        if (!applyWithZstd(pair.oldPath, pair.patchPath, out) || !sameFiles(out, pair.newPath)) {
            say(QStringLiteral("zstd failed for %1").arg(pair.newPath));
            return 1;
        }
    }
    qint64 ours = -1;
    qint64 peer = -1;
    for (int r = 0; r < repeats; ++r) {
        QElapsedTimer timer;
        timer.start();
        for (const Pair &pair : pairs) {
            QString error;
            if (!applyInProcess(pair.oldPath, pair.patchPath, out, error))
                return 1;
        }
        const qint64 elapsed = timer.nsecsElapsed();
        ours = ours < 0 ? elapsed : qMin(ours, elapsed);
        timer.start();
        for (const Pair &pair : pairs) {
            if (!applyWithZstd(pair.oldPath, pair.patchPath, out))
                return 1;
        }
        const qint64 zstdElapsed = timer.nsecsElapsed();
        peer = peer < 0 ? zstdElapsed : qMin(peer, zstdElapsed);
    }
    say(QStringLiteral("Patch speed, best of %4: in-process %1 ms, "
                       "zstd -d --patch-from %2 ms, ratio %3x (target <= 1.3x)")
            .arg(double(ours) / 1e6, 0, 'f', 1)
            .arg(double(peer) / 1e6, 0, 'f', 1)
            .arg(double(ours) / double(peer), 0, 'f', 2)
            .arg(repeats));
    return 0;
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The child: applies the patch, sampling its own anonymous memory.
int memoryApply(const QString &base, const QString &patch, const QString &out)
{
    std::atomic<bool> done{false};
    std::atomic<qint64> peakAnon{0};
    std::thread sampler([&] {
        while (!done) {
            peakAnon = qMax(peakAnon.load(), statusKiB("RssAnon:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    QElapsedTimer timer;
    timer.start();
    QString error;
    const bool ok = applyInProcess(base, patch, out, error);
    const qint64 ms = timer.elapsed();
    done = true;
    sampler.join();
    peakAnon = qMax(peakAnon.load(), statusKiB("RssAnon:"));
    if (!ok) {
        say(QStringLiteral("apply failed: %1").arg(error));
        return 1;
    }
    say(QStringLiteral("%1 %2 %3").arg(peakAnon.load()).arg(statusKiB("VmHWM:")).arg(ms));
    return 0;
}

bool writePair(const QString &basePath, const QString &newPath, qint64 size)
{
    QFile base(basePath);
    QFile changed(newPath);
    if (!base.open(QIODevice::WriteOnly | QIODevice::Truncate) || !changed.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QRandomGenerator random(42);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 at = 0; at < size; at += block.size()) {
        random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (base.write(block) != block.size())
            return false;
        // 32 KiB of every MiB changed, at a place of its own.
        const int offset = int(random.bounded(block.size() - 32768)) & ~3;
        random.fillRange(reinterpret_cast<quint32 *>(block.data() + offset), 32768 / 4);
        if (changed.write(block) != block.size())
            return false;
    }
    return true;
}

int memory(const QString &parent, qint64 sizeMiB)
{
    QTemporaryDir work(parent + QStringLiteral("/bench_delta-XXXXXX"));
    const QString base = work.filePath(QStringLiteral("base"));
    const QString changed = work.filePath(QStringLiteral("new"));
    const QString patch = work.filePath(QStringLiteral("patch.zst"));
    const QString out = work.filePath(QStringLiteral("out"));
    if (!writePair(base, changed, sizeMiB << 20)) {
        say(QStringLiteral("cannot write the files in %1").arg(work.path()));
        return 1;
    }
    DeltaObjectResult made;
    QString error;
    QElapsedTimer timer;
    timer.start();
    if (!makeDeltaObject(base, QString(), changed, patch, sizeMiB << 20, 3, made, error) || !made.kept) {
        say(QStringLiteral("no patch: %1").arg(error));
        return 1;
    }
    say(QStringLiteral("%1 file, %2 of it changed; patch %3, made in %4 s")
            .arg(mib(double(sizeMiB << 20)), mib(double(sizeMiB << 15)), mib(double(made.size)))
            .arg(double(timer.elapsed()) / 1000.0, 0, 'f', 1));

    // zstd first: RUSAGE_CHILDREN is the largest child reaped so far.
    timer.start();
    if (!applyWithZstd(base, patch, out) || !sameFiles(out, changed)) {
        say(QStringLiteral("zstd failed"));
        return 1;
    }
    const qint64 zstdMs = timer.elapsed();
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const qint64 zstdPeakKiB = usage.ru_maxrss;
    QFile::remove(out);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("memory-apply"), base, patch, out});
    if (!child.waitForFinished(-1) || child.exitCode() != 0 || !sameFiles(out, changed)) {
        say(QStringLiteral("in-process apply failed: %1").arg(QString::fromLocal8Bit(child.readAll())));
        return 1;
    }
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    const double anonMiB = figures.value(0).toDouble() / 1024.0;
    say(QStringLiteral("Memory: in-process peak private %1 MiB (target < 160), peak RSS with the mapped base and "
                       "output %2 MiB, %3 ms; zstd -d --patch-from peak RSS %4 MiB, %5 ms; private/zstd ratio %6x")
            .arg(anonMiB, 0, 'f', 1)
            .arg(figures.value(1).toDouble() / 1024.0, 0, 'f', 1)
            .arg(QString::fromLatin1(figures.value(2)))
            .arg(double(zstdPeakKiB) / 1024.0, 0, 'f', 1)
            .arg(zstdMs)
            .arg(anonMiB / (double(zstdPeakKiB) / 1024.0), 0, 'g', 3));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("speed") && args.size() >= 4)
        return speed(QDir(args.at(2)).absolutePath(), QDir(args.at(3)).absolutePath(), qMax(1, args.value(4, QStringLiteral("5")).toInt()));
    if (mode == QLatin1String("memory"))
        return memory(args.value(2, QDir::tempPath()), qMax<qint64>(1, args.value(3, QStringLiteral("1024")).toLongLong()));
    if (mode == QLatin1String("memory-apply") && args.size() == 5)
        return memoryApply(args.at(2), args.at(3), args.at(4));
    say(QStringLiteral("usage: bench_delta speed OLD_DIR NEW_DIR [repeats] | memory [DIR] [MiB]"));
    return 2;
}

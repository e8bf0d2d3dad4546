// Times generateManifest against md5sum over the same tree.
//
//   bench_manifest [parent-directory]
//
// Builds 48 files of 8 MiB and 2000 files of 4 KiB with random content in a
// temporary folder (below parent-directory when given), warms the page cache,
// then alternates five runs of each and prints the medians and the ratio
// md5sum-time / generateManifest-time. Both are single-threaded MD5, so a
// ratio near 1 means walking, opening and writing add nothing noticeable.
// CPU times (user + system) are printed too: on a busy machine they vary far
// less than the wall-clock times.

#include "benchargs.h"
#include "manifest/filemanifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

constexpr int kLargeCount = 48;
constexpr qint64 kLargeSize = 8 * 1024 * 1024;
constexpr int kSmallCount = 2000;
constexpr qint64 kSmallSize = 4 * 1024;
constexpr int kSmallPerDirectory = 100;
constexpr int kRepeats = 5;

bool writeRandomFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(int(qMin<qint64>(size, 1024 * 1024)), Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        if (left < chunk.size())
            chunk.resize(int(left));
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()),
                                              chunk.size() / int(sizeof(quint32)));
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

// Relative paths ("/large/00.bin", ...) of the files written.
QStringList buildTree(const QString &root)
{
    QStringList files;
    QDir().mkpath(root + "large");
    for (int i = 0; i < kLargeCount; ++i)
        files << QStringLiteral("/large/%1.bin").arg(i, 2, 10, QLatin1Char('0'));
    for (int i = 0; i < kSmallCount; ++i) {
        const QString dir = QStringLiteral("/small%1").arg(i / kSmallPerDirectory, 2, 10, QLatin1Char('0'));
        QDir().mkpath(root + dir);
        files << dir + QStringLiteral("/%1.dat").arg(i, 4, 10, QLatin1Char('0'));
    }
    for (const QString &file : qAsConst(files)) {
        const qint64 size = file.startsWith(QLatin1String("/large/")) ? kLargeSize : kSmallSize;
        if (!writeRandomFile(root + file, size))
            return QStringList();
    }
    return files;
}

void readThrough(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    while (file.read(buffer.data(), buffer.size()) > 0) {
    }
}

struct Timing
{
    double wallMs = 0;
    double cpuMs = -1; // unknown where rusage is missing
};

#ifdef Q_OS_UNIX
double cpuMs(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}
#endif

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Each run starts without md5.txt, so both sides hash the same files.
Timing timeGenerate(const QString &root)
{
    QFile::remove(root + "md5.txt");
    Timing timing;
#ifdef Q_OS_UNIX
    const double cpuBefore = cpuMs(RUSAGE_SELF);
#endif
    QElapsedTimer timer;
    timer.start();
    generateManifest(root);
    timing.wallMs = timer.nsecsElapsed() / 1e6;
#ifdef Q_OS_UNIX
    timing.cpuMs = cpuMs(RUSAGE_SELF) - cpuBefore;
#endif
    return timing;
}

// One md5sum process for all files, its output going to a file much as
// md5.txt does.
Timing timeMd5sum(const QString &root, const QStringList &arguments, const QString &output,
                  bool *ok)
{
    QProcess process;
    process.setWorkingDirectory(root);
    process.setStandardOutputFile(output);
    Timing timing;
#ifdef Q_OS_UNIX
    const double cpuBefore = cpuMs(RUSAGE_CHILDREN);
#endif
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("md5sum"), arguments);
    const bool finished = process.waitForFinished(-1);
    timing.wallMs = timer.nsecsElapsed() / 1e6;
#ifdef Q_OS_UNIX
    // Counted once the child has been reaped, which waitForFinished does.
    timing.cpuMs = cpuMs(RUSAGE_CHILDREN) - cpuBefore;
#endif
    *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return timing;
}

// md5sum's "hash  ./path" lines as a manifest keyed like ours.
FileManifest readMd5sumOutput(const QString &path)
{
    FileManifest result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return result;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        const int gap = line.indexOf("  ");
        if (gap > 0)
            result.insert(QString::fromLocal8Bit(line.mid(gap + 3)), QString::fromLatin1(line.left(gap)));
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    const QString parent = BenchArguments(argc, argv, "bench_manifest [parent-directory]").parentDirectory(1);
    QTemporaryDir tmp(parent + QStringLiteral("/bench_manifest-XXXXXX"));
    QTemporaryDir scratch;
    if (!tmp.isValid() || !scratch.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString root = tmp.path() + QLatin1Char('/');
    const QString md5sumOutput = scratch.filePath(QStringLiteral("md5sum.txt"));

    out << "tree: " << kLargeCount << " x " << kLargeSize / (1024 * 1024) << " MiB + " << kSmallCount
        << " x " << kSmallSize / 1024 << " KiB in " << root << Qt::endl;
    const QStringList files = buildTree(root);
    if (files.isEmpty()) {
        std::fprintf(stderr, "cannot write the tree\n");
        return 1;
    }
    qint64 totalBytes = 0;
    QStringList arguments;
    for (const QString &file : files) {
        totalBytes += QFileInfo(root + file).size();
        arguments << QLatin1Char('.') + file;
    }

    // Warm the page cache and check that both sides agree on every file.
    for (const QString &file : files)
        readThrough(root + file);
    timeGenerate(root);
    bool ok = false;
    timeMd5sum(root, arguments, md5sumOutput, &ok);
    if (!ok) {
        std::fprintf(stderr, "md5sum failed\n");
        return 1;
    }
    FileManifest ours = readManifest(root + "md5.txt");
    FileManifest theirs = readMd5sumOutput(md5sumOutput);
    if (ours.size() != files.size() || ours != theirs) {
        std::fprintf(stderr, "manifests differ: ours %d entries, md5sum %d entries\n", ours.size(),
                     theirs.size());
        return 1;
    }

    std::vector<double> generateWall, generateCpu, md5sumWall, md5sumCpu;
    for (int i = 0; i < kRepeats; ++i) {
        const Timing ourRun = timeGenerate(root);
        const Timing theirRun = timeMd5sum(root, arguments, md5sumOutput, &ok);
        if (!ok) {
            std::fprintf(stderr, "md5sum failed\n");
            return 1;
        }
        generateWall.push_back(ourRun.wallMs);
        generateCpu.push_back(ourRun.cpuMs);
        md5sumWall.push_back(theirRun.wallMs);
        md5sumCpu.push_back(theirRun.cpuMs);
        out << "run " << i + 1 << ": generateManifest " << QString::number(ourRun.wallMs, 'f', 1)
            << " ms (cpu " << QString::number(ourRun.cpuMs, 'f', 1) << "), md5sum "
            << QString::number(theirRun.wallMs, 'f', 1) << " ms (cpu "
            << QString::number(theirRun.cpuMs, 'f', 1) << ")" << Qt::endl;
    }

    const double mib = totalBytes / (1024.0 * 1024.0);
    const auto report = [&](const char *what, double ours, double theirs) {
        out << "median " << what << ": generateManifest " << QString::number(ours, 'f', 1) << " ms ("
            << QString::number(mib / (ours / 1000), 'f', 0) << " MiB/s), md5sum "
            << QString::number(theirs, 'f', 1) << " ms (" << QString::number(mib / (theirs / 1000), 'f', 0)
            << " MiB/s), ratio md5sum / generateManifest " << QString::number(theirs / ours, 'f', 3)
            << Qt::endl;
    };
    out << "files: " << files.size() << ", bytes: " << totalBytes << Qt::endl;
    report("wall", median(generateWall), median(md5sumWall));
    if (median(generateCpu) > 0)
        report("cpu ", median(generateCpu), median(md5sumCpu));
    out << "ratio md5sum / generateManifest (wall): "
        << QString::number(median(md5sumWall) / median(generateWall), 'f', 3) << " (target >= 0.95)"
        << Qt::endl;
    return 0;
}

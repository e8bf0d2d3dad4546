// Times the update-file queue against curl fetching the same files.
//
//   bench_queue [parent-directory] [repeats] [both|ours] [max-downloads]
//
// Serves 20 files of 8 MiB and 1000 files of 16 KiB (random content) from a
// throw-away nginx on 127.0.0.1. Each class is a phase of its own, so a mix
// cannot hide either: per repeat, first for the 8 MiB files, then for the
// 16 KiB files, it alternates runs of
//   ours: Widget::startDownloadQueue on a shown (offscreen) dialog, timed
//         from the call, which issues the first request, to the moment the
//         last file has been verified (the queue's fileVerified signal);
//         applyUpdate, which follows inside the
//         completion slot, is timed separately and left out of the ratio.
//         MaxDownloads (default 6) is set in the SettingsStore, as URL is;
//   curl: one curl process fetching the same URLs sequentially over one
//         kept-alive connection, writing each to its own file.
// Prints every run, per class the medians and the ratio ours / curl, and
// the ratio over both phases together (wall clock). nginx's access log
// tells how many connections each side used. With the third argument
// "ours" only our side runs (for a profiler).
//
// Every run writes to fresh folders that are only removed at the end
// (about 2.2 GiB with 5 repeats): on ext4 without a journal, creating a file
// right after many deletions scans the recently deleted inodes, which would
// slow whichever side runs after a clean-up.

#include "benchargs.h"
#include "config/constants.h"
#include "config/settingsstore.h"
#include "manifest/filemanifest.h"
#include "testsupport.h"
#include "ui/widget.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

constexpr int kLargeCount = 20;
constexpr int kLargeSize = 8 * 1024 * 1024;
constexpr int kSmallCount = 1000;
constexpr int kSmallSize = 16 * 1024;
constexpr int kSmallPerDirectory = 100;
const QString kFolder = QStringLiteral("bench");

// --- timing helpers --------------------------------------------------------

QElapsedTimer g_clock;

double nowMs()
{
    return g_clock.nsecsElapsed() / 1e6;
}

enum class CpuOf { Process, Children, ThisThread };

// CPU time (user + system) in ms; -1 where it cannot be had.
double cpuMs(CpuOf of)
{
#ifdef Q_OS_UNIX
    int who = RUSAGE_SELF;
    if (of == CpuOf::Children)
        who = RUSAGE_CHILDREN;
    if (of == CpuOf::ThisThread) {
#ifdef RUSAGE_THREAD
        who = RUSAGE_THREAD;
#else
        return -1;
#endif
    }
    rusage usage{};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
#else
    Q_UNUSED(of);
    return -1;
#endif
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QString ms(double value)
{
    return QString::number(value, 'f', 1);
}

// The queue signals each verified file (on the GUI thread); its time stamps
// are our "last verified file" moment. Log lines still go to a log file,
// one write each, so logging costs about what it costs on stderr.
struct Stamp
{
    double wallMs;
    double processCpuMs; // all threads
    double guiCpuMs;     // the GUI thread alone
};
std::vector<Stamp> g_verifiedAt;
FILE *g_log = nullptr;

void recordMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_log) {
        std::fputs(qFormatLogMessage(type, context, message).toLocal8Bit().constData(), g_log);
        std::fputc('\n', g_log);
        std::fflush(g_log);
    }
}

// --- the release -----------------------------------------------------------

bool writeBytes(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush();
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()),
                                          size / int(sizeof(quint32)));
    return data;
}

// Writes root/update.ini, root/<folder>/md5.txt and the files; returns the
// manifest (key -> md5), empty on failure.
FileManifest writeRelease(const QString &root)
{
    FileManifest manifest;
    QStringList keys;
    for (int i = 0; i < kLargeCount; ++i)
        keys << QStringLiteral("/large/%1.bin").arg(i, 2, 10, QLatin1Char('0'));
    for (int i = 0; i < kSmallCount; ++i)
        keys << QStringLiteral("/small/%1/%2.dat")
                    .arg(i / kSmallPerDirectory, 2, 10, QLatin1Char('0'))
                    .arg(i, 4, 10, QLatin1Char('0'));
    QByteArray md5Text;
    for (const QString &key : qAsConst(keys)) {
        const QByteArray data = randomBytes(key.startsWith(QLatin1String("/large/")) ? kLargeSize : kSmallSize);
        if (!writeBytes(root + kFolder + key, data))
            return FileManifest();
        const QString md5 = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
        manifest.insert(key, md5);
        md5Text += md5.toLatin1() + '\t' + key.toUtf8() + '\n';
    }
    const QByteArray ini = "[Version]\nFolder=" + kFolder.toUtf8() + "\nVersion=2.0\n";
    if (!writeBytes(root + kFolder + QStringLiteral("/md5.txt"), md5Text)
        || !writeBytes(root + QStringLiteral("update.ini"), ini))
        return FileManifest();
    return manifest;
}

// --- our side --------------------------------------------------------------

class QueueRunner : public Widget
{
public:
    using Widget::m_errorMessage;
    using Widget::m_isUpdating;
    int verifiedCount() const { return m_queue.verifiedFiles.size(); }

    // Points the dialog at appDir and the release, as the update check and
    // run would have left it; no update run starts when it is shown.
    void prepare(const QString &appDir)
    {
        m_appDir = appDir;
        m_serverFolder = kFolder + QLatin1Char('/');
        m_end.phase = RunPhase::Running;
        QObject::connect(queueNotifier(), &QueueNotifier::fileVerified, this, [](int) {
            g_verifiedAt.push_back({nowMs(), cpuMs(CpuOf::Process), cpuMs(CpuOf::ThisThread)});
        });
    }
};

struct OurRun
{
    bool ok = false;
    QString error;
    double queueMs = 0; // first request .. last verified file
    double applyMs = 0; // last verified file .. completion slot returned
    double cpuMs = 0;   // this process, all threads, first request .. last verified
    double guiCpuMs = 0; // of that, the GUI thread (the rest is Qt's network thread)
};

OurRun runOurs(const QString &serverRoot, const QString &appDir, const FileManifest &manifest)
{
    OurRun run;
    // The state the update run leaves before it hands over to the queue;
    // the manifest it saved lists this phase's files only.
    const QString tmp = appDir + kUpdateTmpDir;
    QDir().mkpath(tmp);
    QFile::copy(serverRoot + QStringLiteral("update.ini"), tmp + kUpdateTmpIniFile);
    QByteArray md5Text;
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
        md5Text += it.value().toLatin1() + '\t' + it.key().toUtf8() + '\n';
    writeBytes(tmp + kMd5TmpFile, md5Text);
    writeBytes(tmp + kUpdateIniFile, "[Version]\nFolder=old\nVersion=1.0\n");

    auto *dialog = new QueueRunner;
    dialog->prepare(appDir);
    dialog->show();
    QCoreApplication::processEvents();

    g_verifiedAt.clear();
    const double cpuBefore = cpuMs(CpuOf::Process);
    const double guiCpuBefore = cpuMs(CpuOf::ThisThread);
    const double start = nowMs();
    dialog->startDownloadQueue(manifest);
    while (dialog->m_isUpdating)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double end = nowMs();

    run.ok = dialog->verifiedCount() == manifest.size()
        && int(g_verifiedAt.size()) == manifest.size()
        && QFileInfo(appDir + QStringLiteral("md5.txt")).isFile();
    run.error = dialog->m_errorMessage;
    if (run.ok) {
        const Stamp &last = g_verifiedAt.back();
        run.queueMs = last.wallMs - start;
        run.applyMs = end - last.wallMs;
        run.cpuMs = last.processCpuMs - cpuBefore;
        run.guiCpuMs = last.guiCpuMs - guiCpuBefore;
    }
    // Gone before its 1000 ms hand-off timer could start anything.
    delete dialog;
    return run;
}

// --- curl ------------------------------------------------------------------

struct CurlRun
{
    bool ok = false;
    double wallMs = 0;     // process start .. exit
    double transferMs = 0; // sum of curl's own per-transfer times
    double cpuMs = 0;
};

CurlRun runCurl(const QString &baseUrl, const QString &outDir, const FileManifest &manifest,
                const QString &configPath)
{
    // The same URLs the queue requests: its folder ends in "/" and keys begin
    // with one (they need no encoding here).
    QByteArray config = "create-dirs\nsilent\nshow-error\nfail\nwrite-out = \"%{time_total}\\n\"\n";
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        config += "url = \"" + (baseUrl + kFolder + QLatin1Char('/') + it.key()).toUtf8() + "\"\n";
        config += "output = \"" + (outDir + it.key()).toUtf8() + "\"\n";
    }
    writeBytes(configPath, config);

    CurlRun run;
    QProcess curl;
    const double cpuBefore = cpuMs(CpuOf::Children);
    const double start = nowMs();
    curl.start(QStringLiteral("curl"), {QStringLiteral("--config"), configPath});
    const bool finished = curl.waitForFinished(-1);
    run.wallMs = nowMs() - start;
    run.cpuMs = cpuMs(CpuOf::Children) - cpuBefore;
    const QList<QByteArray> times = curl.readAllStandardOutput().split('\n');
    run.ok = finished && curl.exitStatus() == QProcess::NormalExit && curl.exitCode() == 0;
    if (!run.ok)
        std::fprintf(stderr, "curl: %s\n", curl.readAllStandardError().constData());
    for (int i = 0; i < times.size() && i < manifest.size(); ++i)
        run.transferMs += times.at(i).toDouble() * 1e3;
    return run;
}

bool sameFiles(const QString &dir, const FileManifest &manifest)
{
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        QFile file(dir + it.key());
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QCryptographicHash hash(QCryptographicHash::Md5);
        hash.addData(&file);
        if (QString::fromLatin1(hash.result().toHex()) != it.value())
            return false;
    }
    return true;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll().trimmed());
}

// One phase: the files of one size, and what the runs over them gave.
struct Phase
{
    QString name;
    QString dirName;
    int count = 0;
    FileManifest manifest;
    std::vector<double> ours, ourApply, ourCpu, ourGuiCpu;
    std::vector<double> curl, curlTransfer, curlCpu;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    g_clock.start();

    const BenchArguments arguments(argc, argv, "bench_queue [parent-directory] [repeats] [both|ours] [max-downloads 1..16]");
    const QString parent = arguments.parentDirectory(1);
    const int repeats = arguments.atLeastOne(2, 5);
    const bool oursOnly = arguments.text(3) == QLatin1String("ours");
    const int maxDownloads = arguments.number(4, 6);
    if (maxDownloads < 1 || maxDownloads > 16)
        return arguments.usageError();
    QTemporaryDir tmp(parent + QStringLiteral("/bench_queue-XXXXXX"));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString base = tmp.path() + QLatin1Char('/');
    const QString serverRoot = base + QStringLiteral("server/");
    const QString logPath = base + QStringLiteral("queue-debug.log");
    g_log = std::fopen(QFile::encodeName(logPath).constData(), "w");
    qInstallMessageHandler(recordMessages);

    out << "release: " << kLargeCount << " x " << kLargeSize / (1024 * 1024) << " MiB + " << kSmallCount
        << " x " << kSmallSize / 1024 << " KiB in " << serverRoot << Qt::endl;
    const FileManifest manifest = writeRelease(serverRoot);
    if (manifest.isEmpty()) {
        std::fprintf(stderr, "cannot write the release\n");
        return 1;
    }
    Phase phases[2];
    phases[0].name = QStringLiteral("%1 MiB files").arg(kLargeSize / (1024 * 1024));
    phases[0].dirName = QStringLiteral("large");
    phases[1].name = QStringLiteral("%1 KiB files").arg(kSmallSize / 1024);
    phases[1].dirName = QStringLiteral("small");
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
        phases[it.key().startsWith(QLatin1String("/large/")) ? 0 : 1].manifest.insert(it.key(), it.value());
    for (Phase &phase : phases)
        phase.count = phase.manifest.size();

    NginxServer nginx(serverRoot);
    if (!nginx.start()) {
        std::fprintf(stderr, "cannot start nginx: %s\n", qPrintable(nginx.errorText()));
        return 1;
    }
    SettingsStore::instance().setValue(kKeyUrl, nginx.baseUrl());
    SettingsStore::instance().setValue(QStringLiteral("MaxDownloads"), QString::number(maxDownloads));
    out << "nginx: " << nginx.baseUrl() << "; ours with MaxDownloads=" << maxDownloads << Qt::endl;

    // A warm-up of each side and phase, not counted: page cache, first
    // connections, Qt's lazily loaded network and style code. All results
    // are checked.
    for (const Phase &phase : phases) {
        const QString appDir = base + QStringLiteral("warm-ours-%1/").arg(phase.dirName);
        const OurRun ours = runOurs(serverRoot, appDir, phase.manifest);
        if (!ours.ok || !sameFiles(appDir, phase.manifest)) {
            std::fprintf(stderr, "our warm-up failed: %s\n", qPrintable(ours.error));
            return 1;
        }
        if (oursOnly)
            continue;
        const QString curlDir = base + QStringLiteral("warm-curl-%1").arg(phase.dirName);
        const CurlRun curl = runCurl(nginx.baseUrl(), curlDir, phase.manifest, base + QStringLiteral("curl.cfg"));
        if (!curl.ok || !sameFiles(curlDir, phase.manifest)) {
            std::fprintf(stderr, "curl's warm-up failed\n");
            return 1;
        }
    }
    if (oursOnly) {
        for (int i = 0; i < repeats; ++i) {
            out << "ours";
            for (const Phase &phase : phases) {
                const OurRun run = runOurs(serverRoot, base + QStringLiteral("ours%1-%2/").arg(i).arg(phase.dirName),
                                           phase.manifest);
                out << " " << phase.name << " " << ms(run.queueMs) << " ms (apply " << ms(run.applyMs) << ")";
            }
            out << Qt::endl;
        }
        return 0;
    }

    for (int i = 0; i < repeats; ++i) {
        for (Phase &phase : phases) {
            const QString load = loadAverage();
            OurRun ours;
            CurlRun curl;
            AccessLogShare ourLog, curlLog;
            // Alternate who goes first, so neither always finds the other's
            // dirty pages and freed memory.
            for (int side = 0; side < 2; ++side) {
                const int logFrom = nginx.accessLogLines().size();
                if ((side == 0) == (i % 2 == 0)) {
                    ours = runOurs(serverRoot, base + QStringLiteral("ours%1-%2/").arg(i).arg(phase.dirName),
                                   phase.manifest);
                    ourLog = accessLogShare(nginx.accessLogLines(), logFrom);
                    if (!ours.ok) {
                        std::fprintf(stderr, "our run failed: %s\n", qPrintable(ours.error));
                        return 1;
                    }
                } else {
                    curl = runCurl(nginx.baseUrl(), base + QStringLiteral("curl%1-%2").arg(i).arg(phase.dirName),
                                   phase.manifest, base + QStringLiteral("curl.cfg"));
                    curlLog = accessLogShare(nginx.accessLogLines(), logFrom);
                    if (!curl.ok)
                        return 1;
                }
            }
            phase.ours.push_back(ours.queueMs);
            phase.ourApply.push_back(ours.applyMs);
            phase.ourCpu.push_back(ours.cpuMs);
            phase.ourGuiCpu.push_back(ours.guiCpuMs);
            phase.curl.push_back(curl.wallMs);
            phase.curlTransfer.push_back(curl.transferMs);
            phase.curlCpu.push_back(curl.cpuMs);
            out << "run " << i + 1 << ", " << phase.name << " (load " << load << "): ours " << ms(ours.queueMs)
                << " ms [cpu " << ms(ours.cpuMs) << ", GUI thread " << ms(ours.guiCpuMs) << "; then apply "
                << ms(ours.applyMs) << " ms; " << ourLog.requests << " requests, " << ourLog.connections
                << " connection(s)], curl " << ms(curl.wallMs) << " ms [transfers " << ms(curl.transferMs)
                << "; cpu " << ms(curl.cpuMs) << "; " << curlLog.requests << " requests, " << curlLog.connections
                << " connection(s)]" << Qt::endl;
            if (ourLog.failures || curlLog.failures)
                out << "  non-200 responses: ours " << ourLog.failures << ", curl " << curlLog.failures << Qt::endl;
        }
    }

    double oursTotal = 0;
    double curlTotal = 0;
    for (const Phase &phase : phases) {
        const double ours = median(phase.ours);
        const double curl = median(phase.curl);
        oursTotal += ours;
        curlTotal += curl;
        const auto perFile = [&phase](double totalMs) {
            return QString::number(totalMs * 1000 / phase.count, 'f', 0) + QStringLiteral(" us");
        };
        out << phase.name << ", medians of " << repeats << ": ours " << ms(ours) << " ms (cpu "
            << ms(median(phase.ourCpu)) << ", GUI thread " << ms(median(phase.ourGuiCpu))
            << "; applyUpdate afterwards " << ms(median(phase.ourApply)) << " ms, not in the ratio), curl "
            << ms(curl) << " ms (its transfers " << ms(median(phase.curlTransfer)) << ", cpu "
            << ms(median(phase.curlCpu)) << "); per file ours " << perFile(ours) << ", curl " << perFile(curl)
            << Qt::endl;
        out << phase.name << ", ratio ours / curl: " << QString::number(ours / curl, 'f', 2) << Qt::endl;
    }
    out << "both phases, sum of medians: ours " << ms(oursTotal) << " ms, curl " << ms(curlTotal)
        << " ms, ratio " << QString::number(oursTotal / curlTotal, 'f', 2) << " (target <= 2.5)" << Qt::endl;
    out << "load now: " << loadAverage() << Qt::endl;

    qInstallMessageHandler(nullptr);
    if (g_log)
        std::fclose(g_log);
    return 0;
}

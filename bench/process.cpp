// Times whole runs of the real updater process against curl fetching the
// same release from the same throw-away nginx in the same run.
//
//   bench_process rtt|small|big [repeats] [parent-directory]
//
//   rtt:   300 x 16 KiB through bench_delay_proxy, 10 ms each way (20 ms
//          round trip). Peer: one curl fetching update.ini and md5.txt one
//          after the other, then a second one fetching the files with
//          --parallel --parallel-max 6. Target: ours / curl <= 1.5 with
//          MaxDownloads=6.
//   small: 1000 x 16 KiB on loopback. Peer: one curl over one kept-alive
//          connection fetching update.ini, md5.txt and the files listed in
//          its -K file. Target <= 3.
//   big:   20 x 8 MiB on loopback. Peer: as for small, then md5sum over the
//          fetched files. Target <= 1.3.
//
// Ours: a copy of build/src/updater in a fresh application folder (system.cfg
// with URL, ExeName=/bin/true and MaxDownloads, version record 1.0, no
// md5.txt, so every file is fetched), run offscreen and timed from its start
// to its "更新完成" line (the 1000 ms hand-off to ExeName is left out). It
// runs with MaxDownloads=6 and MaxDownloads=1; curl's parallelism stays as
// described. Each side writes to fresh folders that are removed at the end
// only (see bench_queue on deletions slowing later file creation).
// Prints every run, the medians and the ratios ours / curl (wall clock).

#include "benchargs.h"
#include "testsupport.h"
#include "updaterrun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString kFolder = QStringLiteral("bench");
constexpr int kPerDirectory = 100;
constexpr int kRunTimeoutMs = 300 * 1000;

struct Mode
{
    const char *name;
    int count;
    int size;
    int delayMs;      // one way through the proxy; 0: straight to nginx
    bool parallelPeer; // curl --parallel for the files
    bool md5Peer;      // curl then md5sum
    double target;
};

const Mode kModes[] = {
    {"rtt", 300, 16 * 1024, 10, true, false, 1.5},
    {"small", 1000, 16 * 1024, 0, false, false, 3.0},
    {"big", 20, 8 * 1024 * 1024, 0, false, true, 1.3},
};

const int kMaxDownloads[] = {6, 1};

using Manifest = QMap<QString, QString>; // key -> md5

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QString ms(double value)
{
    return QString::number(value, 'f', 1);
}

QString loadAverage()
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/loadavg")).split(' ');
    return fields.size() >= 3 ? QString::fromLatin1(fields.mid(0, 3).join(' ')) : QStringLiteral("?");
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()),
                                          size / int(sizeof(quint32)));
    return data;
}

Manifest writeRelease(const QString &root, const Mode &mode)
{
    QMap<QString, QByteArray> files;
    for (int i = 0; i < mode.count; ++i) {
        const QString key = QStringLiteral("/%1/%2.dat")
                                .arg(i / kPerDirectory, 2, 10, QLatin1Char('0'))
                                .arg(i, 4, 10, QLatin1Char('0'));
        files.insert(key, randomBytes(mode.size));
    }
    Manifest manifest;
    if (!writeServerRelease(root, kFolder, QStringLiteral("2.0"), files))
        return manifest;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        manifest.insert(it.key(), md5Hex(it.value()));
    return manifest;
}

bool sameFiles(const QString &dir, const Manifest &manifest)
{
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        if (md5Hex(readFile(dir + it.key())) != it.value())
            return false;
    }
    return true;
}

struct Run
{
    bool ok = false;
    double ms = 0;
    QString error;
};

// The updater from its start to its completion line.
Run runOurs(const QString &appDir, const QString &url, int maxDownloads, const Manifest &manifest)
{
    Run run;
    if (!writeInstallation(appDir, url, QStringLiteral("/bin/true"), QStringLiteral("1.0"), {})
        || !installUpdaterBinary(appDir)) {
        run.error = QStringLiteral("cannot lay out ") + appDir;
        return run;
    }
    // Set for every run: the default may change.
    QFile config(appDir + QStringLiteral("system.cfg"));
    if (!config.open(QIODevice::Append)
        || config.write("MaxDownloads=" + QByteArray::number(maxDownloads) + "\n") <= 0) {
        run.error = QStringLiteral("cannot write system.cfg");
        return run;
    }
    config.close();

    const UpdaterRun updater = runUpdaterProcess(appDir, kRunTimeoutMs);
    run.ms = updater.ms;
    run.error = updater.error;
    const QString installed =
        QSettings(appDir + QStringLiteral("UpdateTmp/update.ini"), QSettings::IniFormat)
            .value(QStringLiteral("Version/Version"))
            .toString();
    if (run.error.isEmpty() && installed != QLatin1String("2.0"))
        run.error = QStringLiteral("version record says '%1'").arg(installed);
    if (run.error.isEmpty() && !sameFiles(appDir, manifest))
        run.error = QStringLiteral("installed files differ from the release");
    run.ok = run.error.isEmpty();
    if (!run.ok)
        std::fprintf(stderr, "updater output:\n%s\n", updater.output.right(4000).constData());
    return run;
}

bool runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    ChildProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(kRunTimeoutMs) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput();
    if (!ok) {
        std::fprintf(stderr, "%s failed (exit %d): %s\n", qPrintable(program), process.exitCode(),
                     qPrintable(process.errorString()));
        process.kill();
        process.waitForFinished(5000);
    }
    return ok;
}

QByteArray curlEntry(const QString &url, const QString &output)
{
    return "url = \"" + url.toUtf8() + "\"\noutput = \"" + output.toUtf8() + "\"\n";
}

// The peer as described at the top. Configs are written before the clock
// starts.
Run runCurl(const Mode &mode, const QString &url, const QString &outDir, const QString &configDir,
            const Manifest &manifest)
{
    const QByteArray header = "silent\nshow-error\nfail\ncreate-dirs\n";
    const QByteArray meta = curlEntry(url + QStringLiteral("update.ini"), outDir + QStringLiteral("meta/update.ini"))
        + curlEntry(url + kFolder + QStringLiteral("/md5.txt"), outDir + QStringLiteral("meta/md5.txt"));
    QByteArray files;
    QStringList paths;
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        files += curlEntry(url + kFolder + it.key(), outDir + it.key().mid(1));
        paths << outDir + it.key().mid(1);
    }
    const QString metaConfig = configDir + QStringLiteral("/meta.cfg");
    const QString filesConfig = configDir + QStringLiteral("/files.cfg");
    Run run;
    if (!writeFile(metaConfig, header + meta) || !writeFile(filesConfig, header + (mode.parallelPeer ? files : meta + files))) {
        run.error = QStringLiteral("cannot write curl's config");
        return run;
    }

    QByteArray sums;
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    if (mode.parallelPeer) {
        ok = runTool(QStringLiteral("curl"), {QStringLiteral("-K"), metaConfig})
            // The parallel progress meter shows even with --silent (curl 7.88).
            && runTool(QStringLiteral("curl"), {QStringLiteral("--no-progress-meter"), QStringLiteral("--parallel"), QStringLiteral("--parallel-max"),
                                               QStringLiteral("6"), QStringLiteral("-K"), filesConfig});
    } else {
        ok = runTool(QStringLiteral("curl"), {QStringLiteral("-K"), filesConfig});
    }
    if (ok && mode.md5Peer)
        ok = runTool(QStringLiteral("md5sum"), paths, &sums);
    run.ms = timer.nsecsElapsed() / 1e6;

    if (!ok) {
        run.error = QStringLiteral("curl or md5sum failed");
    } else if (mode.md5Peer) {
        // md5sum's own lines are the check here.
        int matched = 0;
        for (const QByteArray &line : sums.split('\n')) {
            const int space = line.indexOf("  ");
            if (space <= 0)
                continue;
            const QString key = QLatin1Char('/') + QString::fromUtf8(line.mid(space + 2)).mid(outDir.size());
            if (manifest.value(key) == QString::fromLatin1(line.left(space)))
                ++matched;
        }
        if (matched != manifest.size())
            run.error = QStringLiteral("md5sum matched %1 of %2 files").arg(matched).arg(manifest.size());
    } else if (!sameFiles(outDir.left(outDir.size() - 1), manifest)) {
        run.error = QStringLiteral("curl's files differ from the release");
    }
    run.ok = run.error.isEmpty();
    return run;
}

} // namespace

// Starts nginx, or says why it would not start.
bool startedOrSaid(NginxServer &nginx)
{
    if (nginx.start())
        return true;
    std::fprintf(stderr, "cannot start nginx: %s\n", qPrintable(nginx.errorText()));
    return false;
}

// An up-to-date start, from the updater's launch to the main program's
// first line, with StartDelay absent (the usual 2 s) and 0, against
// starting the program directly.
int runLaunch(QTextStream &out, int repeats, const QString &parent)
{
    QTemporaryDir tmp(parent + QStringLiteral("/bench_process-XXXXXX"));
    const QString base = tmp.path() + QLatin1Char('/');
    const QString serverRoot = base + QStringLiteral("server");
    if (!tmp.isValid() || !writeServerRelease(serverRoot, QStringLiteral("2.0"), QStringLiteral("2.0"),
                                              {{QStringLiteral("/main.sh"), "x"}})) {
        std::fprintf(stderr, "cannot write the release\n");
        return 1;
    }
    NginxServer nginx(serverRoot);
    if (!startedOrSaid(nginx))
        return 1;
    const QByteArray program = "#!/bin/sh\ndate +%s%3N > \"$(dirname \"$0\")/started\"\n";
    const char *names[] = {"ours StartDelay absent", "ours StartDelay=0", "direct start"};
    constexpr int kVariants = 3;
    out << "bench_process launch: an up-to-date installation, launch .. the main program's first line; "
           "peer: the main program started directly" << Qt::endl;
    std::vector<double> times[kVariants];
    int runNumber = 0;
    for (int round = 0; round <= repeats; ++round) {
        out << (round == 0 ? QStringLiteral("warm-up") : QStringLiteral("run %1").arg(round)) << " (load "
            << loadAverage() << "):";
        for (int k = 0; k < kVariants; ++k) {
            const int v = (k + round) % kVariants;
            const QString dir = base + QStringLiteral("run%1/").arg(++runNumber);
            const QString main = dir + QStringLiteral("main.sh");
            if (!writeInstallation(dir, nginx.baseUrl(), QStringLiteral("main.sh"), QStringLiteral("2.0"),
                                   {{QStringLiteral("/main.sh"), program}})
                || !QFile::setPermissions(main, QFile::permissions(main) | QFile::ExeOwner) || !installUpdaterBinary(dir)
                || (v == 1 && !writeFile(dir + QStringLiteral("system.cfg"),
                                         readFile(dir + QStringLiteral("system.cfg")) + "StartDelay=0\n"))) {
                std::fprintf(stderr, "cannot lay out %s\n", qPrintable(dir));
                return 1;
            }
            const qint64 launchedAt = QDateTime::currentMSecsSinceEpoch();
            ChildProcess updater;
            if (v == 2) {
                QProcess::startDetached(main, QStringList());
            } else {
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
                updater.setProcessEnvironment(environment);
                updater.start(dir + QStringLiteral("updater"), QStringList());
                updater.waitForFinished(kRunTimeoutMs);
            }
            const QString marker = dir + QStringLiteral("started");
            QElapsedTimer waited;
            waited.start();
            while (readFile(marker).trimmed().isEmpty() && waited.elapsed() < kRunTimeoutMs)
                QThread::msleep(2);
            const qint64 startedAt = readFile(marker).trimmed().toLongLong();
            if (startedAt <= 0) {
                std::fprintf(stderr, "%s: the main program did not start\n", names[v]);
                return 1;
            }
            if (round > 0)
                times[v].push_back(double(startedAt - launchedAt));
            out << (k ? "," : "") << " " << names[v] << " " << ms(double(startedAt - launchedAt)) << " ms";
        }
        out << Qt::endl;
    }
    const double direct = median(times[2]);
    out << "median of " << repeats << ":";
    for (int v = 0; v < kVariants; ++v)
        out << (v ? "," : "") << " " << names[v] << " " << ms(median(times[v])) << " ms";
    out << Qt::endl;
    for (int v = 0; v < 2; ++v)
        out << "ratio " << names[v] << " / direct start: " << QString::number(median(times[v]) / qMax(direct, 1.0), 'f', 1)
            << Qt::endl;
    nginx.stop();
    return 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    out.setCodec("UTF-8");

    const BenchArguments arguments(argc, argv, "bench_process rtt|small|big|launch [repeats] [parent-directory]");
    if (arguments.text(1) == QLatin1String("launch")) {
        if (qEnvironmentVariableIsEmpty("UPDATER_BINARY_DIR"))
            qputenv("UPDATER_BINARY_DIR",
                    QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/..")));
        return runLaunch(out, arguments.atLeastOne(2, 5), arguments.parentDirectory(3));
    }
    const Mode *mode = nullptr;
    for (const Mode &candidate : kModes) {
        if (arguments.text(1) == QLatin1String(candidate.name))
            mode = &candidate;
    }
    if (!mode)
        return arguments.usageError();
    const int repeats = arguments.atLeastOne(2, 5);
    const QString parent = arguments.parentDirectory(3);
    // The updater built beside this benchmark.
    if (qEnvironmentVariableIsEmpty("UPDATER_BINARY_DIR"))
        qputenv("UPDATER_BINARY_DIR", QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/..")));
    if (!QFile::exists(updaterBinary())) {
        std::fprintf(stderr, "no updater at %s\n", qPrintable(updaterBinary()));
        return 1;
    }

    QTemporaryDir tmp(parent + QStringLiteral("/bench_process-XXXXXX"));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString base = tmp.path() + QLatin1Char('/');
    const QString serverRoot = base + QStringLiteral("server");
    const Manifest manifest = writeRelease(serverRoot, *mode);
    if (manifest.isEmpty()) {
        std::fprintf(stderr, "cannot write the release\n");
        return 1;
    }

    // Torn down in reverse: the proxy before the nginx behind it.
    NginxServer nginx(serverRoot);
    if (!startedOrSaid(nginx))
        return 1;
    DelayProxy proxy;
    QString url = nginx.baseUrl();
    const QString sizeText = mode->size >= 1024 * 1024 ? QStringLiteral("%1 MiB").arg(mode->size / (1024 * 1024))
                                                       : QStringLiteral("%1 KiB").arg(mode->size / 1024);
    out << "bench_process " << mode->name << ": " << mode->count << " x " << sizeText << " (random), nginx "
        << nginx.baseUrl();
    if (mode->delayMs > 0) {
        QString error;
        if (!proxy.start(mode->delayMs, nginx.port(), error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        url = QStringLiteral("http://127.0.0.1:%1/").arg(proxy.port());
        out << " through bench_delay_proxy at " << url << " (" << mode->delayMs << " ms each way, "
            << 2 * mode->delayMs << " ms round trip, one more round trip per new connection)";
    }
    out << Qt::endl;
    out << QStringLiteral("ours: the updater process, start .. its 更新完成 line, MaxDownloads set in system.cfg")
        << Qt::endl;
    out << "peer: curl, ";
    if (mode->parallelPeer)
        out << "update.ini and md5.txt one after the other (one process), then the files with --parallel "
               "--parallel-max 6 (a second process)";
    else
        out << "update.ini, md5.txt and the files in one -K list over one kept-alive connection";
    if (mode->md5Peer)
        out << ", then md5sum over the files";
    out << "; start .. last exit" << Qt::endl;

    // Variant v < 2: ours with kMaxDownloads[v]; v == 2: curl.
    constexpr int kVariants = 3;
    const auto variantName = [](int v) {
        return v < 2 ? QStringLiteral("ours MaxDownloads=%1").arg(kMaxDownloads[v]) : QStringLiteral("curl");
    };
    std::vector<double> times[kVariants];
    int runNumber = 0;
    // Round 0 warms up page cache, Qt's libraries and nginx; it is not counted.
    for (int round = 0; round <= repeats; ++round) {
        const QString load = loadAverage();
        QString line;
        double roundMs[kVariants] = {};
        QString roundNotes[kVariants];
        // Rotate who goes first, so no side always follows the same one.
        for (int k = 0; k < kVariants; ++k) {
            const int v = (k + round) % kVariants;
            const QString dir = base + QStringLiteral("run%1/").arg(++runNumber);
            const int logFrom = nginx.accessLogLines().size();
            const Run run = v < 2 ? runOurs(dir, url, kMaxDownloads[v], manifest)
                                  : runCurl(*mode, url, dir + QStringLiteral("out/"), dir, manifest);
            if (!run.ok) {
                std::fprintf(stderr, "%s failed: %s\n", qPrintable(variantName(v)), qPrintable(run.error));
                return 1;
            }
            const AccessLogShare share = accessLogShare(nginx.accessLogLines(), logFrom);
            roundMs[v] = run.ms;
            roundNotes[v] = QStringLiteral("%1 requests, %2 connection(s)").arg(share.requests).arg(share.connections);
            if (share.failures)
                roundNotes[v] += QStringLiteral(", %1 not 200").arg(share.failures);
        }
        out << (round == 0 ? QStringLiteral("warm-up") : QStringLiteral("run %1").arg(round)) << " (load " << load
            << "):";
        for (int v = 0; v < kVariants; ++v) {
            out << (v ? "," : "") << " " << variantName(v) << " " << ms(roundMs[v]) << " ms [" << roundNotes[v] << "]";
            if (round > 0)
                times[v].push_back(roundMs[v]);
        }
        out << Qt::endl;
    }

    const double curl = median(times[2]);
    out << "median of " << repeats << ":";
    for (int v = 0; v < kVariants; ++v)
        out << (v ? "," : "") << " " << variantName(v) << " " << ms(median(times[v])) << " ms";
    out << Qt::endl;
    for (int v = 0; v < 2; ++v) {
        out << "ratio " << variantName(v) << " / curl: " << QString::number(median(times[v]) / curl, 'f', 2);
        if (kMaxDownloads[v] == 6)
            out << " (target <= " << mode->target << ")";
        out << Qt::endl;
    }
    out << "load now: " << loadAverage() << Qt::endl;
    proxy.stop();
    nginx.stop();
    return 0;
}

// Time over a slow link for a real release pair: the updater with deltas
// against the plain update, both through bench_delay_proxy with a bandwidth.
//
//   bench_delta_link OLD_DIR NEW_DIR [repeats] [WORK_DIR]
//
// Publishes OLD_DIR as 1.0 and NEW_DIR as 2.0 (as bench_delta_wire does)
// into a throw-away server root served by nginx on 127.0.0.1, behind
// bench_delay_proxy at 10 Mbit/s each way (one link shared by all
// connections) and 10 ms each way (20 ms round trip). Each round installs
// OLD_DIR twice, with the updater built beside this benchmark, and updates
// one installation with deltas and the other with [Update] Deltas=false
// (the order alternates), timing each updater process from its start to its
// 更新完成 line, which it prints once the update is applied. Both
// installations must then hold NEW_DIR byte for byte and record 2.0; the
// delta run must have fetched deltas/, the plain one none. Prints every run,
// the medians and the ratio deltas / plain (target <= 0.25). The release
// pair must keep its files below a folder (e.g. bin/), since the top of the
// installation holds the updater and its system.cfg.

#include "benchargs.h"
#include "releasepair.h"
#include "testsupport.h"
#include "updaterrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kDelayMs = 10;
constexpr double kRateMbit = 10;
constexpr int kRunTimeoutMs = 600 * 1000;
constexpr double kTarget = 0.25;

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Measured
{
    double ms = 0;
    qint64 bytes = 0;
    int requests = 0;
    int deltaRequests = 0;
};

// One update of a fresh installation of oldDir in appDir; false (and said)
// when it failed or did not leave the new release.
bool runOnce(const NginxServer &nginx, const QString &root, const QString &url, const QString &oldDir,
             const QMap<QString, QByteArray> &release, const QString &appDir, bool deltas, Measured &measured)
{
    const QString name = deltas ? QStringLiteral("with deltas") : QStringLiteral("Deltas=false");
    const QString config = appDir + QStringLiteral("system.cfg");
    const char *failed = !installRelease(oldDir, appDir, url, QStringLiteral("/bin/true")) ? "OLD_DIR"
        : !installUpdaterBinary(appDir)                                                     ? "the updater"
        : !deltas && !writeFile(config, readFile(config) + "Deltas=false\n")                ? "system.cfg"
                                                                                            : nullptr;
    if (failed) {
        say(QStringLiteral("cannot lay out %1 in %2").arg(QLatin1String(failed), appDir));
        return false;
    }
    const int before = nginx.requestedPaths().size();
    const UpdaterRun run = runUpdaterProcess(appDir, kRunTimeoutMs);
    const QStringList paths = nginx.requestedPaths().mid(before);
    measured.ms = run.ms;
    measured.bytes = requestedBytes(root, paths);
    measured.requests = paths.size();
    measured.deltaRequests = int(std::count_if(paths.cbegin(), paths.cend(), [](const QString &path) {
        return path.contains(QStringLiteral("/deltas/"));
    }));
    QString error = run.error;
    const QString installed = QSettings(appDir + QStringLiteral("UpdateTmp/update.ini"), QSettings::IniFormat)
                                  .value(QStringLiteral("Version/Version"))
                                  .toString();
    if (error.isEmpty() && installed != QLatin1String("2.0"))
        error = QStringLiteral("version record says '%1'").arg(installed);
    if (error.isEmpty() && !matchesRelease(appDir, release))
        error = QStringLiteral("installed files differ from NEW_DIR");
    if (error.isEmpty() && (measured.deltaRequests > 0) != deltas)
        error = QStringLiteral("%1 requests for deltas/").arg(measured.deltaRequests);
    if (!error.isEmpty()) {
        say(QStringLiteral("%1 failed: %2\nupdater output:\n%3")
                .arg(name, error, QString::fromUtf8(run.output.right(4000))));
        return false;
    }
    return true;
}

QString seconds(double ms)
{
    return QString::number(ms / 1000.0, 'f', 2) + QStringLiteral(" s");
}

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 2) + QStringLiteral(" MiB");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const BenchArguments arguments(argc, argv, "bench_delta_link OLD_DIR NEW_DIR [repeats] [WORK_DIR]");
    if (arguments.count() < 2)
        return arguments.usageError();
    const QString oldDir = QDir(arguments.text(1)).absolutePath();
    const QString newDir = QDir(arguments.text(2)).absolutePath();
    const int repeats = arguments.atLeastOne(3, 3);
    // The updater built beside this benchmark.
    if (qEnvironmentVariableIsEmpty("UPDATER_BINARY_DIR"))
        qputenv("UPDATER_BINARY_DIR", QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/..")));
    const QMap<QString, QByteArray> release = snapshotTree(newDir);
    for (const QString &key : release.keys() + snapshotTree(oldDir).keys()) {
        if (key.count(QLatin1Char('/')) < 2) {
            say(QStringLiteral("%1 is at the top of a release: keep the files below a folder").arg(key));
            return 2;
        }
    }
    QTemporaryDir work(arguments.parentDirectory(4) + QStringLiteral("/bench_delta_link-XXXXXX"));
    const QString root = work.filePath(QStringLiteral("root"));
    QString error;
    if (!work.isValid() || !publishReleasePair(oldDir, newDir, root, error)) {
        say(error.isEmpty() ? QStringLiteral("cannot create a work folder") : error);
        return 1;
    }
    // Torn down in reverse: the proxy before the nginx behind it.
    NginxServer nginx(root);
    if (!nginx.start()) {
        say(nginx.errorText());
        return 1;
    }
    DelayProxy proxy;
    if (!proxy.start(kDelayMs, nginx.port(), error, kRateMbit)) {
        say(error);
        return 1;
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(proxy.port());
    say(QStringLiteral("bench_delta_link: %1 -> %2 through bench_delay_proxy at %3 (%4 Mbit/s, %5 ms round trip)")
            .arg(oldDir, newDir, url)
            .arg(kRateMbit)
            .arg(2 * kDelayMs));
    say(QStringLiteral("each run: the updater process, start .. its 更新完成 line (applied)"));

    std::vector<double> times[2]; // 0: with deltas, 1: Deltas=false
    for (int round = 1; round <= repeats; ++round) {
        QString line = QStringLiteral("run %1:").arg(round);
        for (int k = 0; k < 2; ++k) {
            const int v = (k + round) % 2;
            const QString appDir = work.filePath(QStringLiteral("run%1-%2/").arg(round).arg(v));
            Measured measured;
            if (!runOnce(nginx, root, url, oldDir, release, appDir, v == 0, measured))
                return 1;
            times[v].push_back(measured.ms);
            line += QStringLiteral(" %1 %2 [%3 requests, %4 for deltas/, %5]")
                        .arg(v == 0 ? QStringLiteral("with deltas") : QStringLiteral("Deltas=false"),
                             seconds(measured.ms))
                        .arg(measured.requests)
                        .arg(measured.deltaRequests)
                        .arg(mib(measured.bytes));
            QDir(appDir).removeRecursively();
        }
        say(line);
    }
    const double deltas = median(times[0]);
    const double plain = median(times[1]);
    say(QStringLiteral("median of %1: with deltas %2, Deltas=false %3").arg(repeats).arg(seconds(deltas), seconds(plain)));
    say(QStringLiteral("deltas / plain update: %1x (target <= %2x)")
            .arg(deltas / plain, 0, 'f', 3)
            .arg(kTarget));
    proxy.stop();
    nginx.stop();
    return 0;
}

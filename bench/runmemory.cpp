// Peak memory of an update run over a large manifest, against python3 doing
// the same work on the same files in the same run.
//
//   bench_run_memory [parent-directory] [entries] [changed|fresh]
//
// Writes a release whose md5.txt lists `entries` files (200000 by default,
// keys like "/data/dir123/file45678.dat", with the byte-order mark the
// release tool writes) and an installation to update. Every file is to be
// fetched, the largest queue a manifest of that size can give:
//   changed: (the default) the installation's md5.txt lists the same keys
//            with other hashes, so both large manifests are read;
//   fresh:   the installation has no md5.txt; the run makes one of its
//            nearly empty folder.
// A throw-away nginx on 127.0.0.1
// serves the release (the files themselves do not exist: the run is measured
// up to the moment the queue is built and its first request is sent).
//
// ours:    Widget::runUpdate on an offscreen dialog after the version check:
//          download of md5.txt, the server and local manifests read, the path
//          check, the comparison and the download queue.
// python3: reads both manifests into dicts, compares them and builds a list
//          of (url, local path, md5) tuples, the URL percent-encoded per
//          component as ours does.
// Peak RSS comes from getrusage's ru_maxrss: ours before the run (Qt, the
// dialog, the version check) and after it; python3's from RUSAGE_CHILDREN
// once it has been reaped (it runs first, before nginx, so that is its own).

#include "benchargs.h"
#include "config/constants.h"
#include "config/settingsstore.h"
#include "testsupport.h"
#include "ui/widget.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <sys/resource.h>

namespace {

const QString kFolder = QStringLiteral("2.0");

double peakMiB(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss / 1024.0; // KiB on Linux
}

QString mib(double value)
{
    return QString::number(value, 'f', 1) + QStringLiteral(" MiB");
}

QByteArray keyOf(int i)
{
    return "/data/dir" + QByteArray::number(i / 200) + "/file" + QByteArray::number(i) + ".dat";
}

QByteArray hashOf(int i, const char *salt)
{
    return QCryptographicHash::hash(QByteArray::number(i) + salt, QCryptographicHash::Md5).toHex();
}

bool writeManifest(const QString &path, int entries, const char *salt)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Line by line: a whole-file buffer would count in our peak.
    if (file.write("\xEF\xBB\xBF") != 3)
        return false;
    for (int i = 0; i < entries; ++i) {
        const QByteArray line = hashOf(i, salt) + '\t' + keyOf(i) + '\n';
        if (file.write(line) != line.size())
            return false;
    }
    return file.flush();
}

// The same work as ours, in plain Python.
const char kPeerScript[] = R"(
import os, sys, urllib.parse
server_path, local_path, base, app_dir = sys.argv[1:5]
def read(path):
    m = {}
    if not os.path.exists(path):
        return m
    with open(path, encoding='utf-8-sig') as f:
        for line in f:
            value, key = line.rstrip('\r\n').split('\t')
            m[key] = value
    return m
local = read(local_path)
server = read(server_path)
fetch = {k: v for k, v in server.items() if local.get(k) != v}
del local
queue = [(base + '/'.join(urllib.parse.quote(c, safe='') for c in k.split('/')),
          app_dir + 'UpdateTmp/' + k, v) for k, v in sorted(fetch.items())]
print(len(queue))
)";

class RunProbe : public Widget
{
public:
    using Widget::m_appDir;
    using Widget::m_downloadQueue;
    using Widget::m_errorMessage;
    using Widget::m_totalFiles;
    using Widget::onUpdateCompleted;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);

    const BenchArguments arguments(argc, argv, "bench_run_memory [parent-directory] [entries] [changed|fresh]");
    const QString parent = arguments.parentDirectory(1);
    const int entries = arguments.atLeastOne(2, 200000);
    const QString scenario = arguments.text(3, QStringLiteral("changed"));
    if (scenario != QLatin1String("changed") && scenario != QLatin1String("fresh"))
        return arguments.usageError();
    QTemporaryDir tmp(parent + QStringLiteral("/bench_run_memory-XXXXXX"));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString base = tmp.path() + QLatin1Char('/');
    const QString serverRoot = base + QStringLiteral("server/");
    const QString appDir = base + QStringLiteral("app/");
    const QString serverManifest = serverRoot + kFolder + QStringLiteral("/md5.txt");
    if (!QDir().mkpath(serverRoot + kFolder) || !QDir().mkpath(appDir + kUpdateTmpDir)
        || !writeManifest(serverManifest, entries, "server")
        || (scenario == QLatin1String("changed") && !writeManifest(appDir + kMd5File, entries, "local"))
        || !writeFile(serverRoot + kUpdateIniFile, "[Version]\nFolder=" + kFolder.toUtf8() + "\nVersion=2.0\n")
        || !writeFile(appDir + kUpdateTmpDir + kUpdateIniFile, "[Version]\nFolder=1.0\nVersion=1.0\n")) {
        std::fprintf(stderr, "cannot write the release or the installation\n");
        return 1;
    }
    out << "server manifest: " << entries << " entries, " << QFileInfo(serverManifest).size() << " bytes; "
        << (scenario == QLatin1String("fresh") ? "no local manifest" : "local manifest: the same keys, other hashes")
        << "; every file to be fetched" << Qt::endl;

    // The peer first: while nothing else has been a child of ours, the
    // children's peak is its own.
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"), QString::fromUtf8(kPeerScript), serverManifest, appDir + kMd5File,
                  QStringLiteral("http://127.0.0.1:1/") + kFolder + QLatin1Char('/'), appDir});
    if (!python.waitForFinished(-1) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0
        || python.readAllStandardOutput().trimmed() != QByteArray::number(entries)) {
        std::fprintf(stderr, "python3 failed: %s\n", python.readAllStandardError().constData());
        return 1;
    }
    const double pythonPeak = peakMiB(RUSAGE_CHILDREN);

    NginxServer nginx(serverRoot);
    if (!nginx.start()) {
        std::fprintf(stderr, "cannot start nginx: %s\n", qPrintable(nginx.errorText()));
        return 1;
    }
    SettingsStore::instance().setValue(kKeyUrl, nginx.baseUrl());

    auto *dialog = new RunProbe;
    dialog->m_appDir = appDir;
    if (dialog->checkUpdate()) {
        std::fprintf(stderr, "the version check found nothing to do\n");
        return 1;
    }
    const double before = peakMiB(RUSAGE_SELF);
    dialog->runUpdate();
    const double after = peakMiB(RUSAGE_SELF);
    if (dialog->m_totalFiles != entries) {
        std::fprintf(stderr, "the run did not queue every file: %d queued, detail \"%s\"\n",
                     dialog->m_totalFiles, qPrintable(dialog->m_errorMessage));
        return 1;
    }
    dialog->onUpdateCompleted(false);
    delete dialog;

    out << "ours:    peak RSS before the run " << mib(before) << ", after " << mib(after) << " (run added "
        << mib(after - before) << ")" << Qt::endl;
    out << "python3: peak RSS " << mib(pythonPeak) << Qt::endl;
    out << "ratio peak RSS ours / python3: " << QString::number(after / pythonPeak, 'f', 2)
        << " (target: ours < 100 MiB, is " << (after < 100 ? "met" : "NOT met") << ")" << Qt::endl;
    return 0;
}

// Bytes on the wire for a real release pair: the updater with deltas, the
// plain update, and zstd patches made by hand on each changed file.
//
//   bench_delta_wire OLD_DIR NEW_DIR [WORK_DIR]
//
// Publishes OLD_DIR as 1.0 and NEW_DIR as 2.0 (patches from the releases
// before, the default) into a throw-away server root served by nginx on
// 127.0.0.1, installs OLD_DIR twice and updates one copy with deltas and
// the other with [Update] Deltas=false. The bytes of each run are the sizes
// of the files nginx logged as requested. Peer: `zstd -19 --long=27
// --patch-from=OLD NEW` per changed file (plain `zstd -19 --long=27` for a
// file OLD_DIR does not have). Prints the totals and the ratios (targets:
// deltas within 1.2x of the hand-made patches, under 15 % of the changed
// bytes). Both installations must end byte-identical to NEW_DIR.

#include "config/constants.h"
#include "config/settingsstore.h"
#include "releasepair.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString mib(double bytes)
{
    return QString::number(bytes / (1024.0 * 1024.0), 'f', 2) + QStringLiteral(" MiB");
}

// Runs one update of appDir; the bytes of what nginx was asked for.
qint64 runUpdate(const NginxServer &nginx, const QString &root, const QString &appDir, bool deltas, bool &ok)
{
    SettingsStore &settings = SettingsStore::instance();
    settings.setValue(kKeyUrl, nginx.baseUrl());
    settings.setValue(kKeyExeName, QString());
    if (deltas)
        settings.unsetValue(kKeyDeltas);
    else
        settings.setValue(kKeyDeltas, QStringLiteral("false"));
    const int before = nginx.requestedPaths().size();
    WidgetProbe dialog;
    dialog.m_appDir = appDir;
    ok = !dialog.checkUpdate();
    if (ok) {
        dialog.show();
        while (dialog.statusLabel() != QStringLiteral("更新完成!") && dialog.statusLabel() != kStatusFailed)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        ok = dialog.statusLabel() == QStringLiteral("更新完成!");
        dialog.close();
    }
    return requestedBytes(root, nginx.requestedPaths().mid(before));
}

// zstd by hand on each changed file; changedBytes gets the new files' size.
qint64 handPatches(const QString &oldDir, const QString &newDir, const QString &work, qint64 &changedBytes,
                   bool &ok)
{
    const QMap<QString, QByteArray> oldFiles = snapshotTree(oldDir);
    const QMap<QString, QByteArray> newFiles = snapshotTree(newDir);
    qint64 total = 0;
    changedBytes = 0;
    ok = true;
    for (auto it = newFiles.cbegin(); it != newFiles.cend(); ++it) {
        if (oldFiles.value(it.key()) == it.value() && oldFiles.contains(it.key()))
            continue;
        changedBytes += it.value().size();
        const QString out = work + QStringLiteral("/hand.zst");
        QStringList args{QStringLiteral("-q"), QStringLiteral("-f"), QStringLiteral("-19"),
                         QStringLiteral("--long=27")};
        if (oldFiles.contains(it.key()))
            args << QStringLiteral("--patch-from=") + oldDir + it.key();
        args << newDir + it.key() << QStringLiteral("-o") << out;
        QProcess zstd;
        zstd.start(QStringLiteral("zstd"), args);
        if (!zstd.waitForFinished(-1) || zstd.exitCode() != 0) {
            say(QStringLiteral("zstd failed on %1: %2")
                    .arg(it.key(), QString::fromLocal8Bit(zstd.readAllStandardError())));
            ok = false;
            return 0;
        }
        total += QFileInfo(out).size();
    }
    return total;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        say(QStringLiteral("usage: bench_delta_wire OLD_DIR NEW_DIR [WORK_DIR]"));
        return 2;
    }
    const QString oldDir = QDir(args.at(1)).absolutePath();
    const QString newDir = QDir(args.at(2)).absolutePath();
    QTemporaryDir work(args.size() > 3 ? args.at(3) + QStringLiteral("/bench_delta_wire-XXXXXX") : QString());
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    const QString root = work.filePath(QStringLiteral("root"));
    QString error;
    if (!publishReleasePair(oldDir, newDir, root, error)) {
        say(error);
        return 1;
    }
    NginxServer nginx(root);
    if (!nginx.start()) {
        say(nginx.errorText());
        return 1;
    }
    const QString deltaApp = work.filePath(QStringLiteral("with-deltas")) + QLatin1Char('/');
    const QString plainApp = work.filePath(QStringLiteral("plain")) + QLatin1Char('/');
    if (!installRelease(oldDir, deltaApp, QString(), QString()) || !installRelease(oldDir, plainApp, QString(), QString()))
        return 1;
    bool deltaOk = false;
    bool plainOk = false;
    bool handOk = false;
    const qint64 deltaBytes = runUpdate(nginx, root, deltaApp, true, deltaOk);
    const qint64 plainBytes = runUpdate(nginx, root, plainApp, false, plainOk);
    qint64 changed = 0;
    const qint64 hand = handPatches(oldDir, newDir, work.path(), changed, handOk);
    const QMap<QString, QByteArray> release = snapshotTree(newDir);
    if (!deltaOk || !plainOk || !handOk || !matchesRelease(deltaApp, release) || !matchesRelease(plainApp, release)) {
        say(QStringLiteral("a run failed or did not install the new release"));
        return 1;
    }
    say(QStringLiteral("changed bytes (new files):          %1").arg(mib(changed)));
    say(QStringLiteral("plain update on the wire:           %1").arg(mib(plainBytes)));
    say(QStringLiteral("updater with deltas on the wire:    %1").arg(mib(deltaBytes)));
    say(QStringLiteral("zstd -19 --long=27 --patch-from:    %1").arg(mib(hand)));
    say(QStringLiteral("deltas / hand-made patches:         %1x (target <= 1.2x)").arg(double(deltaBytes) / hand, 0, 'f', 3));
    say(QStringLiteral("deltas / changed bytes:             %1 % (target < 15 %)").arg(100.0 * deltaBytes / changed, 0, 'f', 1));
    say(QStringLiteral("deltas / plain update:              %1 %").arg(100.0 * deltaBytes / plainBytes, 0, 'f', 1));
    return 0;
}

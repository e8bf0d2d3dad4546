#include "testfiles.h"

#include "publish/publisher.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

bool writeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size()
        && file.flush();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray readFileStrict(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QByteArray unstampedRecord(const QString &path)
{
    QByteArray kept;
    const QList<QByteArray> lines = readFile(path).replace('\r', QByteArray()).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines.at(i).startsWith("Transaction="))
            kept += lines.at(i) + (i + 1 < lines.size() ? "\n" : "");
    }
    return kept;
}

QByteArray randomBytes(int size, quint32 seed, int symbols)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : bytes)
        c = char(random.bounded(symbols));
    return bytes;
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QMap<QString, QByteArray> snapshotTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    const QString base = QDir(root).absolutePath();
    QDirIterator it(base, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString key = path.mid(base.size());
        if (info.isSymLink())
            tree.insert(key, "link -> " + info.symLinkTarget().toUtf8());
        else if (info.isDir())
            tree.insert(key + QLatin1Char('/'), QByteArray("<dir>"));
        else
            tree.insert(key, readFile(path));
    }
    return tree;
}

void endProcesses(QList<QProcess *> &processes)
{
    for (QProcess *process : qAsConst(processes)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        delete process;
    }
    processes.clear();
}

bool writeServerRelease(const QString &root, const QString &folder, const QString &version,
                        const QMap<QString, QByteArray> &files)
{
    QByteArray manifest;
#ifdef Q_OS_WIN
    // The updater reads a manifest in the local code page (936 on a Chinese
    // Windows) unless it starts with the BOM that updater-publish writes.
    manifest = "\xEF\xBB\xBF";
#endif
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + folder + it.key(), it.value()))
            return false;
        manifest += md5Hex(it.value()).toUtf8() + '\t' + it.key().toUtf8() + '\n';
    }
    const QByteArray ini = "[Version]\nFolder=" + folder.toUtf8() + "\nVersion=" + version.toUtf8() + "\n";
    return writeFile(root + QLatin1Char('/') + folder + QStringLiteral("/md5.txt"), manifest)
        && writeFile(root + QStringLiteral("/update.ini"), ini);
}

bool writeInstallation(const QString &appDir, const QString &url, const QString &exeName,
                       const QString &version, const QMap<QString, QByteArray> &files)
{
    const QString dir = QDir(appDir).absolutePath() + QLatin1Char('/');
    const QByteArray cfg = "[Update]\nURL=" + url.toUtf8() + "\nExeName=" + exeName.toUtf8() + "\n";
    if (!writeFile(dir + QStringLiteral("system.cfg"), cfg))
        return false;
    if (!version.isEmpty()
        && !writeFile(dir + QStringLiteral("UpdateTmp/update.ini"),
                      "[Version]\nFolder=old\nVersion=" + version.toUtf8() + "\n"))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(dir + it.key().mid(1), it.value()))
            return false;
    }
    return true;
}

QString executableSuffix()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return QString();
#endif
}

QString updaterBinary()
{
    return qEnvironmentVariable("UPDATER_BINARY_DIR") + QStringLiteral("/src/updater") + executableSuffix();
}

bool installUpdaterBinary(const QString &appDir)
{
    // On Windows the copy finds its Qt DLLs and plugins through PATH and
    // QT_PLUGIN_PATH (the Wine runner sets both): the folder holds nothing else.
    const QString target = QDir(appDir).filePath(QStringLiteral("updater") + executableSuffix());
    QFile::remove(target);
    return QFile::copy(updaterBinary(), target)
        && QFile::setPermissions(target, QFile::permissions(updaterBinary()));
}

bool publishTree(const QString &root, const QString &source, const QString &version,
                 const QMap<QString, QByteArray> &files, int deltas, PublishResult *out)
{
    QDir(source).removeRecursively();
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(source + it.key(), it.value()))
            return false;
    }
    PublishRequest request;
    request.version = version;
    request.folder = version;
    request.sourceDir = source;
    request.serverRoot = root;
    request.deltas = deltas;
    const PublishResult result = publish(request);
    if (out)
        *out = result;
    if (!result.ok)
        qWarning() << result.error;
    return result.ok;
}

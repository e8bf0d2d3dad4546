#include "releasehistory.h"

#include "config/constants.h"
#include "manifest/releasenames.h"
#include "trust/versionfile.h"

#include <QFile>
#include <QFileInfo>

namespace {

// The recorded folders, oldest first; a line that is no folder name is skipped.
QStringList readHistory(const QString &server, bool &exists)
{
    QFile file(releaseHistoryPath(server));
    exists = file.open(QIODevice::ReadOnly);
    QStringList folders;
    if (!exists)
        return folders;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString folder = QString::fromUtf8(line.trimmed());
        if (!folder.isEmpty() && folderNameProblem(folder).isNull())
            folders.append(folder);
    }
    return folders;
}

QString currentFolder(const QString &server)
{
    const QString folder =
        VersionFile::read(server + QLatin1Char('/') + kUpdateIniFile).value(QStringLiteral("Version/Folder"));
    return folderNameProblem(folder).isNull() ? folder : QString();
}

// The history, or without one (a root published before it was kept) the
// folder update.ini names now.
QStringList historyOrCurrent(const QString &server, bool &exists)
{
    QStringList history = readHistory(server, exists);
    if (!exists) {
        const QString current = currentFolder(server);
        if (!current.isEmpty())
            history.append(current);
    }
    return history;
}

} // namespace

QString releaseHistoryPath(const QString &server)
{
    return server + QStringLiteral("/publish-history.txt");
}

QStringList recentReleases(const QString &server, const QString &folder, int count)
{
    bool exists = false;
    const QStringList history = historyOrCurrent(server, exists);
    QStringList recent;
    for (int i = history.size() - 1; i >= 0 && recent.size() < count; --i) {
        const QString &candidate = history.at(i);
        if (candidate == folder || recent.contains(candidate))
            continue;
        const QFileInfo info(server + QLatin1Char('/') + candidate);
        if (info.isDir() && !info.isSymLink())
            recent.append(candidate);
    }
    return recent;
}

QByteArray plannedHistory(const QString &server, const QString &folder)
{
    bool exists = false;
    QStringList history = historyOrCurrent(server, exists);
    if (exists && !history.isEmpty() && history.last() == folder)
        return QByteArray();
    history.removeAll(folder);
    history.append(folder);
    return (history.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

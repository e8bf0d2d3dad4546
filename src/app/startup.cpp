#include "startup.h"

#include "config/constants.h"
#include "fs/links.h"
#include "fs/regularfile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

bool clearStateFolderNames(const QString &appDir, QString &error)
{
    for (const QString &name : {kUpdateTmpDir, kUpdateBackupDir}) {
        const QString path = QDir::cleanPath(appDir + name);
        if (!entryExists(path) || isLinkOrReparsePoint(path) || QFileInfo(path).isDir())
            continue;
        QString aside;
        if (moveAsideStale(path, &aside)) {
            qDebug() << "不是目录，已移至:" << aside;
            continue;
        }
        // Another updater starting this moment may have moved it already.
        if (isRealDirectory(path) || !entryExists(path))
            continue;
        error = QStringLiteral("无法移开文件:") + path;
        return false;
    }
    return true;
}

QString readInstalledVersion(const QString &appDir)
{
    const QString path = appDir + kUpdateTmpDir + kUpdateIniFile;
    QString problem;
    if (!checkRegularFile(path, problem)) {
        if (entryExists(path))
            qDebug() << "版本记录不可用:" << path << problem;
        return QString();
    }
    return QSettings(path, QSettings::IniFormat).value(kKeyVersionVersion).toString();
}

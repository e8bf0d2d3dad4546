#include "instanceguard.h"

#include "config/constants.h"
#include "update/safefs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSharedMemory>
#include <QSystemSemaphore>

QString instanceKey()
{
    QString folder = canonicalFolderIdentity(QCoreApplication::applicationDirPath());
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    return QDir::toNativeSeparators(folder) + QStringLiteral("SystemObject_Update");
}

bool acquireInstanceMarker(const QString &key)
{
    // The semaphore makes "is one running? then I am the one" a single step
    // for two updaters started at the same moment.
    QSystemSemaphore semaphore(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();

    static QSharedMemory marker(key + QStringLiteral("_mem"));
#ifndef Q_OS_WIN
    // A System V segment outlives a killed process. Attaching and detaching
    // once removes a segment nobody holds any more; one held by a running
    // updater stays and still refuses this start.
    if (marker.attach())
        marker.detach();
#endif
    const bool created = marker.create(1, QSharedMemory::ReadWrite);

    semaphore.release(1);
    return created;
}

std::unique_ptr<QLockFile> lockInstallation(const QString &appDir)
{
    const QString folder = appDir + kUpdateTmpDir;
    if (!ensureRealDirectory(folder))
        return nullptr;
    const QString path = folder + kLockFile;
    if (isLinkOrReparsePoint(path))
        removeLink(path);

    auto lock = std::make_unique<QLockFile>(path);
    // A run may take hours: only a dead owner makes the lock stale, never
    // its age.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return lock;

    // Two kinds of lock file block every later start although nobody holds
    // them: one nobody could write whole (a power cut right after it was
    // created) names no owner; one that names this very process belongs to
    // a dead updater whose id the system gave to us (Wine reuses ids at
    // once), since this process holds no lock yet.
    qint64 pid = 0;
    QString host;
    QString application;
    const QFileInfo info(path);
    if (lock->error() != QLockFile::LockFailedError || !info.isFile())
        return nullptr;
    const bool named = lock->getLockInfo(&pid, &host, &application);
    const bool ownerless = !named && info.lastModified().secsTo(QDateTime::currentDateTime()) > 5;
    const bool namesUs = named && pid == QCoreApplication::applicationPid();
    if (ownerless || namesUs) {
        qDebug() << "移除无主的锁文件:" << path;
        QFile::remove(path);
        if (lock->tryLock(0))
            return lock;
    }
    return nullptr;
}

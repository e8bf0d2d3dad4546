#include "instanceguard.h"

#include "config/constants.h"
#include "fs/links.h"
#include "fs/regularfile.h"

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

namespace {

std::unique_ptr<QSharedMemory> &instanceMarker()
{
    static std::unique_ptr<QSharedMemory> marker;
    return marker;
}

} // namespace

GuardOutcome acquireInstanceMarker(const QString &key)
{
    // The semaphore makes "is one running? then I am the one" a single step
    // for two updaters started at the same moment.
    QSystemSemaphore semaphore(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    semaphore.acquire();

    instanceMarker() = std::make_unique<QSharedMemory>(key + QStringLiteral("_mem"));
    QSharedMemory &marker = *instanceMarker();
#ifndef Q_OS_WIN
    // A System V segment outlives a killed process. Attaching and detaching
    // once removes a segment nobody holds any more; one held by a running
    // updater stays and still refuses this start.
    if (marker.attach())
        marker.detach();
#endif
    const bool created = marker.create(1, QSharedMemory::ReadWrite);
    const QSharedMemory::SharedMemoryError error = marker.error();

    semaphore.release(1);
    if (created)
        return GuardOutcome::Taken;
    if (error == QSharedMemory::AlreadyExists)
        return GuardOutcome::HeldByOther;
    qDebug() << "无法创建单实例标记:" << marker.errorString();
    return GuardOutcome::Unusable;
}

void releaseInstanceMarker()
{
    instanceMarker().reset();
}

namespace {

InstallationLock unusable(const QString &text)
{
    InstallationLock result;
    result.error = text;
    return result;
}

InstallationLock taken(std::unique_ptr<QLockFile> lock)
{
    InstallationLock result;
    result.outcome = GuardOutcome::Taken;
    result.lock = std::move(lock);
    return result;
}

} // namespace

InstallationLock takeInstallationLock(const QString &appDir)
{
    const QString folder = appDir + kUpdateTmpDir;
    if (!ensureRealDirectory(folder))
        return unusable(QStringLiteral("无法创建目录:") + folder);
    const QString path = folder + kLockFile;
    if (isLinkOrReparsePoint(path) && !removeLink(path))
        return unusable(QStringLiteral("无法移除锁文件处的链接:") + path);
    // No updater makes anything but a plain file there; reading a FIFO as
    // a lock would wait for ever, and a folder never becomes one.
    if (isOddEntry(path) && !moveAsideStale(path))
        return unusable(QStringLiteral("锁文件不是普通文件，且无法移开:") + path);

    auto lock = std::make_unique<QLockFile>(path);
    // A run may take hours: only a dead owner makes the lock stale, never
    // its age.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return taken(std::move(lock));
    if (lock->error() != QLockFile::LockFailedError)
        return unusable(QStringLiteral("无法创建锁文件:") + path);

    // Two kinds of lock file block every later start although nobody holds
    // them: one nobody could write whole (a power cut right after it was
    // created) names no owner; one that names this very process belongs to
    // a dead updater whose id the system gave to us (Wine reuses ids at
    // once), since this process holds no lock yet.
    qint64 pid = 0;
    QString host;
    QString application;
    const QFileInfo info(path);
    if (!info.isFile())
        return unusable(QStringLiteral("无法创建锁文件:") + path);
    const bool named = lock->getLockInfo(&pid, &host, &application);
    const bool ownerless = !named && info.lastModified().secsTo(QDateTime::currentDateTime()) > 5;
    const bool namesUs = named && pid == QCoreApplication::applicationPid();
    if (ownerless || namesUs) {
        qDebug() << "移除无主的锁文件:" << path;
        QFile::remove(path);
        if (lock->tryLock(0))
            return taken(std::move(lock));
        if (lock->error() != QLockFile::LockFailedError)
            return unusable(QStringLiteral("无法创建锁文件:") + path);
    }
    // Held: by a live updater, or (a file just created without an owner)
    // by one that is starting this very moment.
    InstallationLock held;
    held.outcome = GuardOutcome::HeldByOther;
    return held;
}

std::unique_ptr<QLockFile> lockInstallation(const QString &appDir)
{
    return takeInstallationLock(appDir).lock;
}

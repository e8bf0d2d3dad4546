#include "instanceguard.h"

#include <QCoreApplication>
#include <QDir>
#include <QSharedMemory>
#include <QSystemSemaphore>

QString instanceKey()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath())
        + QStringLiteral("SystemObject_Update");
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

#include "fs/durablefile.h"

#include "fs/links.h"
#include "fs/nativepath.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool renameAtomically(const QString &from, const QString &to, bool replace, bool *crossDevice)
{
    if (crossDevice)
        *crossDevice = false;
#ifdef Q_OS_WIN
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), flags))
        return true;
    if (crossDevice)
        *crossDevice = GetLastError() == ERROR_NOT_SAME_DEVICE;
    return false;
#else
    if (!replace && entryExists(to))
        return false;
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) == 0)
        return true;
    if (crossDevice)
        *crossDevice = errno == EXDEV;
    return false;
#endif
}

bool flushToDisk(QFileDevice &file)
{
    if (!file.flush())
        return false;
    const int handle = file.handle();
    if (handle < 0)
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(handle)));
#else
    return ::fsync(handle) == 0;
#endif
}

void flushDirectory(const QString &dir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(dir) // NTFS journals folder changes itself
#else
    const int fd = ::open(nativePath(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#endif
}

void flushVolume(const QString &path, const QStringList &files)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    for (const QString &file : files) {
        HANDLE handle = CreateFileW(nativePath(file).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            FlushFileBuffers(handle);
            CloseHandle(handle);
        }
    }
#else
    struct stat root;
    const bool haveRoot = ::stat(nativePath(path).constData(), &root) == 0;
#ifdef Q_OS_LINUX
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
#else
    ::sync();
#endif
    // Files on another volume (a folder mounted into the installation).
    for (const QString &file : files) {
        struct stat info;
        if (haveRoot && ::stat(nativePath(file).constData(), &info) == 0 && info.st_dev == root.st_dev)
            continue;
        const int fileFd = ::open(nativePath(file).constData(), O_RDONLY | O_CLOEXEC);
        if (fileFd >= 0) {
            ::fsync(fileFd);
            ::close(fileFd);
        }
    }
#endif
}

QString temporarySibling(const QString &path)
{
    return path + QStringLiteral(".tmp-")
        + QString::number(QRandomGenerator::global()->generate64(), 36);
}

bool writeFileReplacing(const QString &path, const QByteArray &data)
{
    const QString temporary = temporarySibling(path);
    QFile file(temporary);
    // NewOnly creates exclusively: a link planted at the name is not used.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool written = file.write(data) == data.size() && flushToDisk(file);
    file.close();
    if (!written || file.error() != QFileDevice::NoError
        || !renameAtomically(temporary, path, true)) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}


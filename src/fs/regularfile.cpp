#include "fs/regularfile.h"

#include "fs/durablefile.h"
#include "fs/links.h"
#include "fs/nativepath.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString kNotRegular = QStringLiteral("不是普通文件");
const QString kIsLink = QStringLiteral("是链接");
const QString kSeveralLinks = QStringLiteral("有多个硬链接");
const QString kMissing = QStringLiteral("不存在");

#ifdef Q_OS_WIN
// A handle on the file itself (a reparse point is opened, not followed),
// or -1; *odd when what stands there is no regular file with one name.
int openOwnFile(const QString &path, QIODevice::OpenMode mode, bool create, QString &error, bool *odd)
{
    *odd = false;
    const bool write = mode & QIODevice::WriteOnly;
    const std::wstring native = nativePath(path);
    HANDLE handle = CreateFileW(native.c_str(), write ? GENERIC_WRITE | FILE_READ_ATTRIBUTES : GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                create ? CREATE_NEW : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesW(native.c_str());
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            error = kMissing;
        } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *odd = true;
            error = kNotRegular;
        } else {
            error = qt_error_string(int(code));
        }
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    QString problem;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)
        || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        problem = kNotRegular;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        problem = kIsLink;
    else if (write && info.nNumberOfLinks > 1)
        problem = kSeveralLinks;
    if (!problem.isEmpty()) {
        CloseHandle(handle);
        *odd = true;
        error = problem;
        return -1;
    }
    const int fd = _open_osfhandle(intptr_t(handle), !write                         ? _O_RDONLY
                                                  : (mode & QIODevice::Append) ? _O_WRONLY | _O_APPEND
                                                                               : _O_WRONLY);
    if (fd < 0) {
        CloseHandle(handle);
        error = kNotRegular;
    }
    return fd;
}
#else
int openOwnFile(const QString &path, QIODevice::OpenMode mode, bool create, QString &error, bool *odd)
{
    *odd = false;
    const bool write = mode & QIODevice::WriteOnly;
    // Non-blocking only until the type is known: opening a FIFO would
    // otherwise wait for its other end.
    int flags = O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (write ? O_WRONLY : O_RDONLY);
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    if (create)
        flags |= O_CREAT | O_EXCL;
    const int fd = ::open(nativePath(path).constData(), flags, 0644);
    if (fd < 0) {
        const int code = errno;
        *odd = code == ELOOP || code == ENXIO || code == EISDIR || code == EWOULDBLOCK;
        error = code == ENOENT ? kMissing : code == ELOOP ? kIsLink : *odd ? kNotRegular : qt_error_string(code);
        return -1;
    }
    struct stat info;
    QString problem;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        problem = kNotRegular;
    else if (write && info.st_nlink > 1)
        problem = kSeveralLinks;
    if (!problem.isEmpty()) {
        ::close(fd);
        *odd = true;
        error = problem;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
#endif

bool adoptHandle(int fd, QIODevice::OpenMode mode, QFile &file, QString &error)
{
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
#ifdef Q_OS_WIN
        _close(fd);
#else
        ::close(fd);
#endif
        return false;
    }
    // Written from the end, or from the start over nothing: only now that
    // the file is known to be ours alone.
    if ((mode & QIODevice::Append) == 0 && (mode & QIODevice::WriteOnly) && !file.resize(0)) {
        error = file.errorString();
        file.close();
        return false;
    }
    return true;
}

} // namespace

bool isOddEntry(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring native = nativePath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    HANDLE handle = CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool odd = GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)
        || info.nNumberOfLinks > 1;
    CloseHandle(handle);
    return odd;
#else
    struct stat info;
    if (::lstat(nativePath(path).constData(), &info) != 0 || S_ISLNK(info.st_mode))
        return false;
    return !S_ISREG(info.st_mode) || info.st_nlink > 1;
#endif
}

bool moveAsideStale(const QString &path, QString *aside)
{
    const QString cleaned = QDir::cleanPath(path);
    const QString base = cleaned + QStringLiteral(".stale-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = attempt == 0 ? base : base + QLatin1Char('-') + QString::number(attempt);
        if (entryExists(name))
            continue;
        if (!renameAtomically(cleaned, name, false))
            return false;
        flushDirectory(QFileInfo(cleaned).absolutePath());
        qDebug() << "已移开:" << cleaned << "->" << name;
        if (aside)
            *aside = name;
        return true;
    }
    return false;
}

bool openRegularFile(const QString &path, QIODevice::OpenMode mode, QFile &file, QString &error,
                     QString *movedAside)
{
    const bool write = mode & QIODevice::WriteOnly;
    bool odd = false;
    int fd = openOwnFile(path, mode, false, error, &odd);
    if (fd < 0 && write && (odd || !entryExists(path))) {
        // Never used, never followed: what stands there goes aside whole.
        if (odd && !moveAsideStale(path, movedAside)) {
            error = error + QStringLiteral("，且无法移开");
            return false;
        }
        fd = openOwnFile(path, mode, true, error, &odd);
    }
    return fd >= 0 && adoptHandle(fd, mode, file, error);
}

bool readRegularFile(const QString &path, qint64 maxSize, QByteArray &data, QString &error)
{
    data.clear();
    QFile file;
    if (!openRegularFile(path, QIODevice::ReadOnly, file, error))
        return false;
    if (file.size() > maxSize) {
        error = QStringLiteral("文件过大");
        return false;
    }
    // The size can grow while reading: never more than the cap.
    data = file.read(maxSize + 1);
    if (data.size() > maxSize || file.error() != QFileDevice::NoError) {
        error = data.size() > maxSize ? QStringLiteral("文件过大") : file.errorString();
        data.clear();
        return false;
    }
    return true;
}

bool checkRegularFile(const QString &path, QString &error)
{
    QFile file;
    return openRegularFile(path, QIODevice::ReadOnly, file, error);
}

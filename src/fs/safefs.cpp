#include "fs/safefs.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(path)).toStdWString();
}
#else
QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(QDir::cleanPath(path));
}
#endif

bool removePlainFile(const QString &path)
{
    if (QFile::remove(path))
        return true;
    // A read-only file (common on Windows) goes once it may be written.
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    return QFile::remove(path);
}

} // namespace

bool isLinkOrReparsePoint(const QString &path)
{
#ifdef Q_OS_WIN
    // Qt calls .lnk shortcut files links too; only the file system's own
    // redirections matter here.
    const DWORD attributes = GetFileAttributesW(nativePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    struct stat info;
    return ::lstat(nativePath(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
#endif
}

bool entryExists(const QString &path)
{
    return QFileInfo::exists(path) || isLinkOrReparsePoint(path);
}

bool isRealDirectory(const QString &path)
{
    return !isLinkOrReparsePoint(path) && QFileInfo(path).isDir();
}

bool removeLink(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring native = nativePath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    // A junction or folder link is removed as a folder; its target stays.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryW(native.c_str());
    return DeleteFileW(native.c_str());
#else
    return ::unlink(nativePath(path).constData()) == 0 || errno == ENOENT;
#endif
}

bool ensureRealDirectory(const QString &path)
{
    if (isLinkOrReparsePoint(path)) {
        qDebug() << "移除链接，改用真实目录:" << path;
        if (!removeLink(path))
            return false;
    }
    if (QFileInfo(path).isDir())
        return true;
    return QDir().mkpath(path);
}

bool removeTree(const QString &path)
{
    if (isLinkOrReparsePoint(path))
        return removeLink(path);
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    if (!info.isDir())
        return removePlainFile(path);
    bool ok = true;
    const QStringList names = QDir(path).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : names)
        ok = removeTree(path + QLatin1Char('/') + name) && ok;
    return QDir().rmdir(path) && ok;
}

void removeFolderContents(const QString &dir, const QStringList &keep)
{
    if (!isRealDirectory(dir))
        return;
    const QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        if (keep.contains(name) && !isLinkOrReparsePoint(path) && QFileInfo(path).isFile())
            continue;
        if (!removeTree(path))
            qDebug() << "无法删除:" << path;
    }
}

QString firstUnsafeParent(const QString &appDir, const QString &key)
{
    const QStringList parts = key.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString relative;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        relative += QLatin1Char('/') + parts.at(i);
        const QString path = appDir + relative.mid(1);
        if (isLinkOrReparsePoint(path))
            return relative;
        // Below a missing folder nothing can exist; a file in the way is
        // refused when the install gets there.
        if (!QFileInfo(path).isDir())
            return QString();
    }
    return QString();
}

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

QString canonicalFolderIdentity(const QString &path)
{
#ifdef Q_OS_WIN
    // The final path resolves links, junctions, 8.3 names and substituted
    // or mapped drives to one spelling; letter case is folded because the
    // file system ignores it.
    HANDLE handle = CreateFileW(nativePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        std::wstring buffer(32768, L'\0');
        const DWORD length = GetFinalPathNameByHandleW(handle, &buffer[0], DWORD(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        CloseHandle(handle);
        if (length > 0 && length < buffer.size()) {
            QString final = QString::fromWCharArray(buffer.data(), int(length));
            if (final.startsWith(QLatin1String("\\\\?\\UNC\\")))
                final = QStringLiteral("\\\\") + final.mid(8);
            else if (final.startsWith(QLatin1String("\\\\?\\")))
                final = final.mid(4);
            return QDir::fromNativeSeparators(final).toCaseFolded();
        }
    }
    return QFileInfo(QDir::cleanPath(path)).canonicalFilePath().toCaseFolded();
#else
    return QFileInfo(QDir::cleanPath(path)).canonicalFilePath();
#endif
}

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

#include "fs/links.h"

#include "fs/nativepath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

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

void removeFolderContents(const QString &dir, const QStringList &keep, const QStringList &keepFolders)
{
    if (!isRealDirectory(dir))
        return;
    const QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        if (keep.contains(name) && !isLinkOrReparsePoint(path) && QFileInfo(path).isFile())
            continue;
        if (keepFolders.contains(name) && isRealDirectory(path))
            continue;
        if (!removeTree(path))
            qDebug() << "无法删除:" << path;
    }
}

QStringList parentKeys(const QString &key)
{
    const QStringList parts = key.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList parents;
    QString relative;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        relative += QLatin1Char('/') + parts.at(i);
        parents.append(relative);
    }
    return parents;
}

QString firstUnsafeParent(const QString &appDir, const QString &key)
{
    for (const QString &relative : parentKeys(key)) {
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

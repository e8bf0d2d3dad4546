#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <string>

// The spelling the system calls of this folder take: wide native separators
// on Windows, the local 8-bit encoding elsewhere.
#ifdef Q_OS_WIN
inline std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(path)).toStdWString();
}
#else
inline QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(QDir::cleanPath(path));
}
#endif

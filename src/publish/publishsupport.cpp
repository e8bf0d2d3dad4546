#include "publishsupport.h"

#include "manifest/releasenames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

} // namespace

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + oneLineText(text) + QLatin1Char('"');
}

QString resolvedPath(const QString &absolutePath)
{
    QString existing = QDir::cleanPath(absolutePath);
    QString rest;
    while (!QFileInfo(existing).exists() && !QFileInfo(existing).isSymLink()) {
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing)
            break;
        rest.prepend(QLatin1Char('/') + info.fileName());
        existing = parent;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    if (path.compare(folder, kPathCase) == 0)
        return true;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix, kPathCase);
}

QString existingAncestor(const QString &path)
{
    QString current = path;
    while (!QFileInfo(current).exists()) {
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            break;
        current = parent;
    }
    return current;
}

QString openFailure(const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return QStringLiteral("reading failed");
    return file.errorString();
}

void reportProgress(const ProgressCallback &progress, PublishPhase phase, int doneFiles, int totalFiles,
                    qint64 doneBytes, qint64 totalBytes)
{
    if (!progress)
        return;
    PublishProgress p;
    p.phase = phase;
    p.doneFiles = doneFiles;
    p.totalFiles = totalFiles;
    p.doneBytes = doneBytes;
    p.totalBytes = totalBytes;
    progress(p);
}

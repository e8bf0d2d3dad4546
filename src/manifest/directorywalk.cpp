#include "filemanifest.h"

#include <QDir>
#include <QFileInfo>

namespace {

// ancestors holds the canonical paths of the directories the walk is inside,
// from the root down. A link back to one of them would recurse forever.
void walk(const QString &root, const QString &relativePrefix, QStringList &files,
          QStringList &ancestors)
{
    const QDir dir(root + relativePrefix);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::Dirs | QDir::Files | QDir::NoDot | QDir::NoDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString relativePath = relativePrefix + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            const QString canonical = entry.canonicalFilePath();
            if (canonical.isEmpty() || ancestors.contains(canonical))
                continue;
            ancestors.append(canonical);
            walk(root, relativePath, files, ancestors);
            ancestors.removeLast();
        } else {
            files.append(relativePath);
        }
    }
}

} // namespace

void collectFiles(const QString &root, const QString &relativePrefix, QStringList &files)
{
    QStringList ancestors;
    QString path = QFileInfo(root + relativePrefix).canonicalFilePath();
    // The chain above the starting level counts too: a link from inside
    // /a/b back to /a must stop even when the walk started at /a/b.
    while (!path.isEmpty()) {
        ancestors.prepend(path);
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    walk(root, relativePrefix, files, ancestors);
}

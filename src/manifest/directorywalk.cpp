#include "directorywalk.h"

#include "filemanifest.h"

namespace {

// ancestors holds the canonical paths of the directories the walk is inside,
// from the root down. A link back to one of them would recurse forever.
void walk(const QString &root, const QString &relativePrefix, QDir::Filters filters,
          const TreeVisitor &visitor, QStringList &ancestors)
{
    const QString path = root + relativePrefix;
    if (visitor.enterDirectory && !visitor.enterDirectory(path))
        return;
    const QFileInfoList entries = QDir(path).entryInfoList(filters, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString relativePath = relativePrefix + QLatin1Char('/') + entry.fileName();
        if (!visitor.visitEntry(entry, relativePath) || !entry.isDir())
            continue;
        const QString canonical = entry.canonicalFilePath();
        if (canonical.isEmpty() || ancestors.contains(canonical))
            continue;
        ancestors.append(canonical);
        walk(root, relativePath, filters, visitor, ancestors);
        ancestors.removeLast();
    }
}

} // namespace

void walkTree(const QString &root, const QString &relativePrefix, QDir::Filters extraFilters,
              const TreeVisitor &visitor)
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
    walk(root, relativePrefix, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | extraFilters, visitor, ancestors);
}

void collectFiles(const QString &root, const QString &relativePrefix, QStringList &files)
{
    TreeVisitor visitor;
    visitor.visitEntry = [&files](const QFileInfo &entry, const QString &relativePath) {
        if (!entry.isDir())
            files.append(relativePath);
        return true;
    };
    walkTree(root, relativePrefix, QDir::Filters(), visitor);
}

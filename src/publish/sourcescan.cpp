#include "sourcescan.h"

#include "manifest/directorywalk.h"
#include "manifest/pathsafety.h"
#include "manifest/releasenames.h"
#include "publishsupport.h"

#include <QFileInfo>

namespace {

QString unsafeKeyMessage(const QString &key)
{
    if (isSafeManifestKey(key)) {
        return QStringLiteral("%1 and another name in SOURCE_DIR differ only in letter case "
                              "(one file on Windows)").arg(quoted(key));
    }
    return QStringLiteral("%1 in SOURCE_DIR is not a name the updater installs safely "
                          "(reserved for the updater, a device name, a possible 8.3 short name, "
                          "a trailing dot or blank, or a character Windows forbids)").arg(quoted(key));
}

// The walk lists hidden and system entries too, to count what the manifest
// leaves out, and refuses folders it cannot list: they would be published
// as empty.
bool walkSource(const QString &source, bool includeConfig, SourceFiles &found, QString &error)
{
    QString unreadableFolder;
    TreeVisitor visitor;
    visitor.enterDirectory = [&unreadableFolder](const QString &path) {
        const QFileInfo self(path);
        if (self.isReadable() && self.isExecutable())
            return true;
        if (unreadableFolder.isEmpty())
            unreadableFolder = path;
        return false;
    };
    visitor.visitEntry = [&](const QFileInfo &entry, const QString &key) {
        if (entry.isHidden()) {
            ++found.hiddenEntries;
            return false;
        }
        // What QDir counts as a system entry: not a file, folder or link, or a broken link.
        if (!(entry.isFile() || entry.isDir() || entry.isSymLink()) || (entry.isSymLink() && !entry.exists())) {
            ++found.specialEntries;
            return false;
        }
        if (entry.isDir())
            return true;
        if (!isLeftOutOfRelease(key, includeConfig)) {
            found.manifest.insert(key, QString());
            return false;
        }
        const int slash = key.indexOf(QLatin1Char('/'), 1);
        const QString name = slash < 0 ? key.mid(1) : key.mid(1, slash);
        if (!found.leftOut.contains(name))
            found.leftOut.append(name);
        return false;
    };
    walkTree(source, QString(), QDir::Hidden | QDir::System, visitor);
    if (!unreadableFolder.isEmpty()) {
        found = SourceFiles();
        error = QStringLiteral("cannot list folder %1: permission denied").arg(native(unreadableFolder));
        return false;
    }
    found.leftOut.sort();
    if (found.manifest.isEmpty()) {
        error = QStringLiteral("SOURCE_DIR %1 holds no files to publish").arg(native(source));
        return false;
    }
    return true;
}

} // namespace

bool scanSource(const QString &source, bool includeConfig, const QString &serverResolved, SourceFiles &found,
                QString &error)
{
    if (!walkSource(source, includeConfig, found, error))
        return false;
    const QString unsafe = findUnsafeManifestKey(found.manifest);
    if (!unsafe.isNull()) {
        error = unsafeKeyMessage(unsafe);
        return false;
    }
    for (auto it = found.manifest.cbegin(); it != found.manifest.cend(); ++it) {
        const QString path = source + it.key();
        const QFileInfo info(path);
        if (!info.exists()) {
            error = QStringLiteral("cannot open %1: it vanished, or its name is not valid in "
                                   "the local encoding").arg(native(oneLineText(path)));
            return false;
        }
        // A link to a pipe or device would block or never end.
        if (!info.isFile()) {
            error = QStringLiteral("%1 is not a regular file").arg(native(oneLineText(path)));
            return false;
        }
        if (isSameOrInside(info.canonicalFilePath(), serverResolved)) {
            error = QStringLiteral("%1 leads into SERVER_ROOT through a link").arg(native(oneLineText(path)));
            return false;
        }
        found.sizes.insert(it.key(), info.size());
        found.bytes += info.size();
    }
    found.files = found.manifest.size();
    return true;
}

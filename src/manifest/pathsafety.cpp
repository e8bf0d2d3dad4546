#include "pathsafety.h"

#include "config/constants.h"

#include <QSet>
#include <QRegularExpression>
#include <QStringList>

namespace {

bool isDeviceName(const QString &component)
{
    // Windows treats these as devices whatever extension follows.
    const QString base = component.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList fixed = {
        QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
        QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (fixed.contains(base))
        return true;
    static const QRegularExpression numbered(
        QStringLiteral("\\A(COM|LPT)[0-9\\x{00B9}\\x{00B2}\\x{00B3}]\\z"));
    return numbered.match(base).hasMatch();
}

bool hasForbiddenCharacter(const QString &component)
{
    for (const QChar c : component) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
        if (QStringLiteral("\\:<>\"|?*").contains(c))
            return true;
    }
    return false;
}

// Windows may give another entry a short alias of this shape ("PROGRA~1",
// "FILE~12.JSO"): a base of at most 8 characters ending in "~" and
// digits, and an extension of at most 3.
bool mayBeShortName(const QString &component)
{
    static const QRegularExpression shortName(QStringLiteral("\\A([^.]{0,7}~[0-9]+)(\\.[^.]{0,3})?\\z"));
    const QRegularExpressionMatch match = shortName.match(component);
    return match.hasMatch() && match.capturedLength(1) <= 8;
}

bool isOneOf(const QString &name, const QStringList &names)
{
    for (const QString &reserved : names) {
        if (name.compare(reserved, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isReservedTopLevel(const QString &first)
{
    static const QStringList files = {
        QStringLiteral("update.ini"), QStringLiteral("updateTmp.ini"),
        QStringLiteral("md5Tmp.txt"), QStringLiteral("md5.txt")};
    static const QStringList folders = {QStringLiteral("UpdateTmp"), QStringLiteral("UpdateBackup")};
    return isOneOf(first, files) || isOneOf(first, folders) || isOneOf(first, updaterWorkNames());
}

} // namespace

bool isSafeManifestKey(const QString &key)
{
    if (!key.startsWith(QLatin1Char('/')))
        return false;
    const QStringList components = key.mid(1).split(QLatin1Char('/'), Qt::KeepEmptyParts);
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String(".."))
            return false;
        // Windows drops trailing dots and blanks: "/update.ini." is "/update.ini".
        if (component.endsWith(QLatin1Char('.')) || component.endsWith(QLatin1Char(' ')))
            return false;
        if (hasForbiddenCharacter(component) || isDeviceName(component) || mayBeShortName(component))
            return false;
    }
    return !isReservedTopLevel(components.first());
}

const QStringList &updaterWorkNames()
{
    static const QStringList names = {kLogFile, kOldLogFile, kLockFile, QStringLiteral("resume")};
    return names;
}

bool isUpdaterWorkKey(const QString &key)
{
    return key.startsWith(QLatin1Char('/')) && isOneOf(key.mid(1).section(QLatin1Char('/'), 0, 0), updaterWorkNames());
}

bool isInstallationOnlyKey(const QString &key)
{
    return key.startsWith(QLatin1Char('/')) && isReservedTopLevel(key.mid(1).section(QLatin1Char('/'), 0, 0));
}

QStringList takeInstallationOnlyKeys(FileManifest &manifest)
{
    QStringList taken;
    for (auto it = manifest.begin(); it != manifest.end();) {
        if (isInstallationOnlyKey(it.key())) {
            taken.append(it.key());
            it = manifest.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

QString findUnsafeManifestKey(const FileManifest &manifest)
{
    QSet<QString> files;
    QSet<QString> folders;
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        const QString &key = it.key();
        if (!isSafeManifestKey(key))
            return key;
        // Compared without case: on Windows "/A.dll" and "/a.dll" are one
        // file, and a file "/bin" cannot sit where "/BIN/x.dll" needs a folder.
        const QString folded = key.toCaseFolded();
        if (files.contains(folded) || folders.contains(folded))
            return key;
        files.insert(folded);
        for (int slash = folded.indexOf(QLatin1Char('/'), 1); slash > 0;
             slash = folded.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString folder = folded.left(slash);
            if (files.contains(folder))
                return key;
            folders.insert(folder);
        }
    }
    return QString();
}

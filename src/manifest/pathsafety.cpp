#include "pathsafety.h"

#include "releasenames.h"

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
    return !isReservedTopName(components.first());
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

#include "releasenames.h"

#include "config/constants.h"

namespace {

bool isOneOf(const QString &name, const QStringList &names)
{
    for (const QString &reserved : names) {
        if (name.compare(reserved, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// "/a/b" gives "a"; "/a" gives "a".
QString topName(const QString &key)
{
    return key.mid(1).section(QLatin1Char('/'), 0, 0);
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + oneLineText(text) + QLatin1Char('"');
}

} // namespace

const QStringList &updaterControlFiles()
{
    static const QStringList names = {kUpdateIniFile, kUpdateTmpIniFile, kMd5TmpFile, kMd5File};
    return names;
}

const QStringList &updaterFolders()
{
    static const QStringList names = {kUpdateTmpName, kUpdateBackupDir};
    return names;
}

const QStringList &updaterWorkNames()
{
    static const QStringList names = {kLogFile, kOldLogFile, kLockFile, kResumeName};
    return names;
}

bool isReservedTopName(const QString &name)
{
    return isOneOf(name, updaterControlFiles()) || isOneOf(name, updaterFolders())
        || isOneOf(name, updaterWorkNames());
}

bool isUpdaterWorkKey(const QString &key)
{
    return key.startsWith(QLatin1Char('/')) && isOneOf(topName(key), updaterWorkNames());
}

bool isUpdaterStateKey(const QString &key)
{
    return key.startsWith(QLatin1Char('/')) && isReservedTopName(topName(key));
}

QStringList takeUpdaterStateKeys(FileManifest &manifest)
{
    QStringList taken;
    for (auto it = manifest.begin(); it != manifest.end();) {
        if (isUpdaterStateKey(it.key())) {
            taken.append(it.key());
            it = manifest.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

bool isLeftOutOfRelease(const QString &key, bool includeConfig)
{
    // Compared without case: on Windows any spelling is the same file.
    const bool topLevelFile = key.indexOf(QLatin1Char('/'), 1) < 0;
    const QString top = topName(key);
    if (topLevelFile) {
        if (top.compare(kMd5File, Qt::CaseInsensitive) == 0)
            return true;
        if (!includeConfig && top.compare(kSystemCfgFile.mid(1), Qt::CaseInsensitive) == 0)
            return true;
    }
    // Downloads land in UpdateTmp/<key>: names the updater works with there
    // are never a release's.
    return isOneOf(top, updaterFolders()) || isUpdaterWorkKey(key);
}

QString versionTextProblem(const QString &version)
{
    if (version.isEmpty())
        return QStringLiteral("the version text is empty");
    for (const QChar c : version) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E) {
            return QStringLiteral("the version text may hold only printable ASCII characters, not U+%1")
                .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0')));
        }
    }
    // Qt's INI reader trims blanks, reads "@..." as a typed value, splits at
    // "," and treats ";" "\"" "\\" as syntax.
    if (version.startsWith(QLatin1Char(' ')) || version.endsWith(QLatin1Char(' ')))
        return QStringLiteral("the version text %1 begins or ends with a blank").arg(quoted(version));
    if (version.startsWith(QLatin1Char('@')))
        return QStringLiteral("the version text %1 begins with \"@\"").arg(quoted(version));
    for (const QChar c : version) {
        if (QStringLiteral(",;\"\\").contains(c))
            return QStringLiteral("the version text %1 holds '%2', which update.ini cannot carry")
                .arg(quoted(version), c);
    }
    return QString();
}

QString folderNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the folder name is empty");
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool allowed = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
            || u == '.' || u == '_' || u == '-';
        if (!allowed) {
            return QStringLiteral("the folder name %1 may hold only ASCII letters, digits, \".\", \"_\" and \"-\"")
                .arg(quoted(name));
        }
    }
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("the folder name may not be %1").arg(quoted(name));
    if (name.compare(kUpdateIniFile, Qt::CaseInsensitive) == 0)
        return QStringLiteral("the folder name %1 is the version file's name").arg(quoted(name));
    return QString();
}

QString oneLineText(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

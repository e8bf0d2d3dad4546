#include "versionfile.h"

#include <QFile>
#include <QVector>

namespace {

const QByteArray kBom = QByteArrayLiteral("\xEF\xBB\xBF");

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif

struct Line
{
    QByteArray text;   // without its line end
    QByteArray ending; // "\n", "\r\n", "\r", or empty for a last line without one
};

QVector<Line> splitLines(const QByteArray &bytes)
{
    QVector<Line> lines;
    const int size = bytes.size();
    int start = 0;
    while (start < size) {
        int end = start;
        while (end < size && bytes.at(end) != '\n' && bytes.at(end) != '\r')
            ++end;
        Line line;
        line.text = bytes.mid(start, end - start);
        if (end < size) {
            const int length = bytes.at(end) == '\r' && end + 1 < size && bytes.at(end + 1) == '\n' ? 2 : 1;
            line.ending = bytes.mid(end, length);
            end += length;
        }
        lines.append(line);
        start = end;
    }
    return lines;
}

// Quotes go, blanks inside them stay; a ";" outside them starts a comment.
QString unquotedValue(const QByteArray &raw)
{
    QByteArray value;
    int kept = 0;
    bool quoted = false;
    bool started = false;
    for (const char c : raw) {
        if (c == '"') {
            quoted = !quoted;
            started = true;
            kept = value.size();
            continue;
        }
        if (!quoted && c == ';')
            break;
        const bool blank = !quoted && (c == ' ' || c == '\t');
        if (blank && !started)
            continue;
        started = true;
        value += c;
        if (!blank)
            kept = value.size();
    }
    value.truncate(kept);
    return QString::fromUtf8(value);
}

enum class Kind { Other, Group, Entry };

struct ParsedLine
{
    Kind kind = Kind::Other;
    QString name;
    QString value;
};

ParsedLine parseLine(const QByteArray &raw)
{
    ParsedLine parsed;
    const QByteArray text = raw.trimmed();
    if (text.isEmpty() || text.startsWith(';'))
        return parsed;
    if (text.startsWith('[')) {
        const int close = text.indexOf(']');
        if (close > 0) {
            parsed.kind = Kind::Group;
            parsed.name = QString::fromUtf8(text.mid(1, close - 1)).trimmed();
        }
        return parsed;
    }
    const int equals = text.indexOf('=');
    if (equals < 0)
        return parsed;
    parsed.name = QString::fromUtf8(text.left(equals)).trimmed();
    if (parsed.name.isEmpty())
        return parsed;
    parsed.kind = Kind::Entry;
    parsed.value = unquotedValue(text.mid(equals + 1));
    return parsed;
}

QString lookupName(const QString &groupKey)
{
    return kNameCase == Qt::CaseInsensitive ? groupKey.toCaseFolded() : groupKey;
}

} // namespace

VersionFile VersionFile::parse(const QByteArray &bytes)
{
    VersionFile file;
    QString group;
    for (const Line &line : splitLines(bytes.startsWith(kBom) ? bytes.mid(kBom.size()) : bytes)) {
        const ParsedLine parsed = parseLine(line.text);
        if (parsed.kind == Kind::Group)
            group = parsed.name;
        else if (parsed.kind == Kind::Entry)
            file.m_values.insert(lookupName(group + QLatin1Char('/') + parsed.name), parsed.value);
    }
    return file;
}

VersionFile VersionFile::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return VersionFile();
    return parse(file.readAll());
}

QString VersionFile::value(const QString &groupKey) const
{
    return m_values.value(lookupName(groupKey));
}

bool VersionFile::contains(const QString &groupKey) const
{
    return m_values.contains(lookupName(groupKey));
}

QByteArray withVersionFileValue(const QByteArray &bytes, const QString &groupKey, const QString &value)
{
    const int slash = groupKey.indexOf(QLatin1Char('/'));
    const QString group = groupKey.left(slash);
    const QString key = groupKey.mid(slash + 1);
    const bool bom = bytes.startsWith(kBom);
    const QByteArray ending = bytes.contains("\r\n") ? QByteArrayLiteral("\r\n")
        : !bytes.contains('\n') && bytes.contains('\r') ? QByteArrayLiteral("\r")
                                                        : QByteArrayLiteral("\n");

    QVector<Line> kept;
    int insertAt = -1;
    bool inGroup = false;
    for (const Line &line : splitLines(bom ? bytes.mid(kBom.size()) : bytes)) {
        const ParsedLine parsed = parseLine(line.text);
        if (parsed.kind == Kind::Group)
            inGroup = parsed.name.compare(group, kNameCase) == 0;
        const bool entryHere = inGroup && parsed.kind == Kind::Entry;
        if (entryHere && parsed.name.compare(key, kNameCase) == 0)
            continue;
        kept.append(line);
        if (inGroup && (parsed.kind == Kind::Group || entryHere))
            insertAt = kept.size();
    }
    if (insertAt < 0) {
        if (!kept.isEmpty() && kept.last().ending.isEmpty())
            kept.last().ending = ending;
        kept.append({QByteArrayLiteral("[") + group.toUtf8() + ']', ending});
        insertAt = kept.size();
    }
    if (kept.at(insertAt - 1).ending.isEmpty())
        kept[insertAt - 1].ending = ending;
    kept.insert(insertAt, {key.toUtf8() + '=' + value.toUtf8(), ending});

    QByteArray result = bom ? kBom : QByteArray();
    for (const Line &line : qAsConst(kept))
        result += line.text + line.ending;
    return result;
}

QByteArray versionFileBytes(const QString &folder, const QString &version, const QString &manifest)
{
    return QByteArray("[Version]\nFolder=") + folder.toLatin1() + QByteArray("\nVersion=")
        + version.toLatin1() + QByteArray("\nManifest=") + manifest.toLatin1() + QByteArray("\n");
}

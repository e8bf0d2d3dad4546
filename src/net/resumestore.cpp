#include "resumestore.h"

#include "fs/durablefile.h"
#include "fs/links.h"
#include "fs/regularfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QUrl>

namespace {

const QString kReleaseName = QStringLiteral("release.txt");
constexpr qint64 kMaxRecordBytes = 64 * 1024;

bool isLowerHexMd5(const QString &text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

// "<id>", "<id>.part" or "<id>.rec": the id, else empty.
QString idOfEntry(const QString &name)
{
    QString id = name;
    if (id.endsWith(QLatin1String(".part")))
        id.chop(5);
    else if (id.endsWith(QLatin1String(".rec")))
        id.chop(4);
    return isLowerHexMd5(id) ? id : QString();
}

} // namespace

QString resumeId(const QString &key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Md5).toHex());
}

QByteArray formatResumeRecord(const ResumeRecord &record)
{
    // Percent-encoded, so no value can hold a line end.
    return "folder=" + QUrl::toPercentEncoding(record.folder) + "\nkey=" + QUrl::toPercentEncoding(record.key)
        + "\nmd5=" + record.md5.toLatin1() + "\nvalidator=" + QUrl::toPercentEncoding(QString::fromLatin1(record.validator))
        + "\n";
}

bool parseResumeRecord(const QByteArray &text, ResumeRecord &record)
{
    const QList<QByteArray> lines = text.split('\n');
    // Four lines, each ended: a record cut short by a kill is no record.
    if (lines.size() != 5 || !lines.last().isEmpty())
        return false;
    const QByteArray names[] = {"folder=", "key=", "md5=", "validator="};
    QString values[4];
    for (int i = 0; i < 4; ++i) {
        if (!lines[i].startsWith(names[i]))
            return false;
        values[i] = QUrl::fromPercentEncoding(lines[i].mid(names[i].size()));
    }
    if (values[0].isEmpty() || !values[1].startsWith(QLatin1Char('/')) || !isLowerHexMd5(values[2])
        || values[3].isEmpty())
        return false;
    record = ResumeRecord{values[0], values[1], values[2], values[3].toLatin1()};
    return true;
}

QByteArray resumeValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    const QByteArray tag = etag.trimmed();
    if (tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"'))
        return tag;
    return lastModified.trimmed();
}

bool rangeContinuesAt(const QByteArray &contentRange, qint64 offset)
{
    const QByteArray text = contentRange.trimmed();
    if (!text.startsWith("bytes "))
        return false;
    const int dash = text.indexOf('-');
    const int slash = text.indexOf('/');
    if (dash < 0 || slash < dash)
        return false;
    bool firstOk = false, lastOk = false, totalOk = false;
    const qint64 first = text.mid(6, dash - 6).toLongLong(&firstOk);
    const qint64 last = text.mid(dash + 1, slash - dash - 1).toLongLong(&lastOk);
    const QByteArray totalText = text.mid(slash + 1);
    const qint64 total = totalText.toLongLong(&totalOk);
    if (!firstOk || !lastOk || first != offset || last < first)
        return false;
    return totalText == "*" || (totalOk && last + 1 == total);
}

bool ResumeStore::holdsFiles() const
{
    const QStringList names = QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                                    | QDir::System, QDir::NoSort);
    return names.size() > (names.contains(kReleaseName) ? 1 : 0);
}

bool ResumeStore::prepare(const QString &folder, const QSet<QString> &wanted, QString &error)
{
    QByteArray release;
    QString unreadable;
    const bool sameRelease = readRegularFile(m_dir + kReleaseName, kMaxRecordBytes, release, unreadable)
        && QString::fromUtf8(release) == folder;
    if (!sameRelease) {
        removeTree(QDir::cleanPath(m_dir));
    } else {
        const QStringList names = QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                                        | QDir::System, QDir::NoSort);
        for (const QString &name : names) {
            const QString path = m_dir + name;
            const QString id = idOfEntry(name);
            // Only plain files of ours stay; a link goes itself.
            const bool keep = name == kReleaseName || (!id.isEmpty() && wanted.contains(id));
            if (!keep || isOddEntry(path) || QFileInfo(path).isSymLink())
                removeTree(path);
        }
    }
    if (!ensureRealDirectory(QDir::cleanPath(m_dir)) || !writeFileReplacing(m_dir + kReleaseName, folder.toUtf8())) {
        error = QStringLiteral("无法保存文件:") + m_dir + kReleaseName;
        return false;
    }
    return true;
}

bool ResumeStore::writeRecord(const QString &id, const ResumeRecord &record) const
{
    // No flush to disk: the record must outlive a killed process, which the
    // page cache does; the partial data is not flushed either.
    const QString path = recordPath(id);
    const QString temporary = temporarySibling(path);
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const QByteArray text = formatResumeRecord(record);
    const bool written = file.write(text) == text.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError || !renameAtomically(temporary, path, true)) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

qint64 ResumeStore::continuableLength(const QString &id, const ResumeRecord &wanted, QByteArray &validator) const
{
    QByteArray text;
    QString error;
    ResumeRecord record;
    const QString part = partPath(id);
    const bool usable = readRegularFile(recordPath(id), kMaxRecordBytes, text, error) && parseResumeRecord(text, record)
        && record.folder == wanted.folder && record.key == wanted.key
        && record.md5.compare(wanted.md5, Qt::CaseInsensitive) == 0 && checkRegularFile(part, error);
    const qint64 length = usable ? QFileInfo(part).size() : 0;
    if (length <= 0) {
        dropPartial(id);
        return 0;
    }
    validator = record.validator;
    return length;
}

void ResumeStore::dropPartial(const QString &id) const
{
    QFile::remove(partPath(id));
    QFile::remove(recordPath(id));
}

bool ResumeStore::remove() const
{
    return removeTree(QDir::cleanPath(m_dir));
}

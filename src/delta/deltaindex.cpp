#include "deltaindex.h"

#include <QList>

#include <algorithm>

namespace {

constexpr int kMd5HexDigits = 32;
// No release file comes near this; a larger size is a broken or hostile line.
constexpr qint64 kMaxObjectBytes = qint64(1) << 40;

bool isMd5Text(const QByteArray &text)
{
    if (text.size() != kMd5HexDigits)
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// One line without its LF; false when it is not a well-formed entry.
bool parseLine(QByteArray line, DeltaObject &object)
{
    if (line.endsWith('\r'))
        line.chop(1);
    const QList<QByteArray> fields = line.split('\t');
    if (fields.size() != 3 || !isMd5Text(fields.at(0)))
        return false;
    const QByteArray &base = fields.at(1);
    if (base != "-" && !isMd5Text(base))
        return false;
    const QByteArray &sizeText = fields.at(2);
    if (sizeText.isEmpty() || sizeText.size() > 13
        || !std::all_of(sizeText.cbegin(), sizeText.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    object.size = sizeText.toLongLong();
    if (object.size <= 0 || object.size > kMaxObjectBytes)
        return false;
    object.newMd5 = QString::fromLatin1(fields.at(0)).toLower();
    object.baseMd5 = base == "-" ? QString() : QString::fromLatin1(base).toLower();
    return object.newMd5 != object.baseMd5;
}

} // namespace

int deltaPatchWindowLog(qint64 baseSize)
{
    int log = 10;
    while (log < 31 && (qint64(1) << log) < baseSize)
        ++log;
    return log;
}

QString deltaObjectPath(const QString &newMd5, const QString &baseMd5)
{
    const QString name = baseMd5.isEmpty() ? newMd5 : newMd5 + QLatin1Char('-') + baseMd5;
    return kDeltaFolder + QLatin1Char('/') + name + QStringLiteral(".zst");
}

QByteArray deltaIndexBytes(QVector<DeltaObject> objects)
{
    std::sort(objects.begin(), objects.end(), [](const DeltaObject &a, const DeltaObject &b) {
        return a.newMd5 != b.newMd5 ? a.newMd5 < b.newMd5 : a.baseMd5 < b.baseMd5;
    });
    QByteArray bytes;
    for (const DeltaObject &object : objects) {
        bytes += object.newMd5.toLatin1() + '\t'
            + (object.baseMd5.isEmpty() ? QByteArrayLiteral("-") : object.baseMd5.toLatin1()) + '\t'
            + QByteArray::number(object.size) + '\n';
    }
    return bytes;
}

bool isDeltaKey(const QString &key)
{
    const QString folder = QLatin1Char('/') + kDeltaFolder;
    return key == QLatin1Char('/') + kDeltaIndexFile || key == folder || key.startsWith(folder + QLatin1Char('/'));
}

DeltaIndex DeltaIndex::parse(const QByteArray &bytes)
{
    DeltaIndex index;
    if (bytes.size() > kMaxDeltaIndexBytes)
        return index;
    int start = 0;
    while (start < bytes.size()) {
        int end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        DeltaObject object;
        if (parseLine(bytes.mid(start, end - start), object)) {
            QVector<DeltaObject> &list = index.m_objects[object.newMd5];
            // The first line for a pair counts; a repeat cannot replace it.
            const bool known = std::any_of(list.cbegin(), list.cend(),
                                           [&](const DeltaObject &o) { return o.baseMd5 == object.baseMd5; });
            if (!known)
                list.append(object);
        }
        start = end + 1;
    }
    return index;
}

int DeltaIndex::size() const
{
    int count = 0;
    for (const QVector<DeltaObject> &list : m_objects)
        count += list.size();
    return count;
}

DeltaChoice chooseDelta(const DeltaIndex &index, const QString &newMd5, const QString &localMd5, qint64 plainSize)
{
    DeltaChoice choice;
    const QString local = localMd5.toLower();
    const DeltaObject *copy = nullptr;
    const DeltaObject *patch = nullptr;
    const QVector<DeltaObject> objects = index.objectsFor(newMd5);
    for (const DeltaObject &object : objects) {
        if (plainSize >= 0 && object.size >= plainSize)
            continue;
        if (object.baseMd5.isEmpty())
            copy = copy ? copy : &object;
        else if (!local.isEmpty() && object.baseMd5 == local)
            patch = patch ? patch : &object;
    }
    const DeltaObject *picked = patch ? patch : copy;
    if (!picked)
        return choice;
    choice.kind = patch ? DeltaChoice::Kind::Patch : DeltaChoice::Kind::Copy;
    choice.path = deltaObjectPath(picked->newMd5, picked->baseMd5);
    choice.baseMd5 = picked->baseMd5;
    choice.size = picked->size;
    return choice;
}

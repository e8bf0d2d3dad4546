#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

// A release's deltas: zstd patches of its files against files of earlier
// releases and zstd-compressed copies, in V/deltas/, named by content, and
// their index V/deltas.txt. The release tool writes them; the client reads
// the index as untrusted input.

inline const QString kDeltaIndexFile = QStringLiteral("deltas.txt");
inline const QString kDeltaFolder = QStringLiteral("deltas");
// update.ini's key that names the index, in [Version].
inline const QString kDeltaIndexKey = QStringLiteral("Version/Deltas");
// A larger index is not read at all.
constexpr qint64 kMaxDeltaIndexBytes = 64 * 1024 * 1024;

// The window a patch from a base of baseSize bytes is made and read with:
// the whole base, no more (2^10 to 2^31 bytes).
int deltaPatchWindowLog(qint64 baseSize);
// The window a compressed copy may need at most.
constexpr int kDeltaCopyWindowLog = 27;
// Files larger than this get no patch.
constexpr qint64 kMaxPatchedFileBytes = qint64(2) * 1024 * 1024 * 1024;

struct DeltaObject
{
    QString newMd5;  // lowercase hex
    QString baseMd5; // lowercase hex; empty for a compressed copy
    qint64 size = 0; // bytes of the object
};

// "deltas/<newMd5>-<baseMd5>.zst" or "deltas/<newMd5>.zst", relative to the
// version folder.
QString deltaObjectPath(const QString &newMd5, const QString &baseMd5);

// deltas.txt: "newMd5 TAB baseMd5-or-- TAB size LF" per object, sorted.
QByteArray deltaIndexBytes(QVector<DeltaObject> objects);

// Version folder keys the deltas occupy ("/deltas.txt", "/deltas/..."), so
// comparing a folder with its release can leave them out.
bool isDeltaKey(const QString &key);

// The index, read leniently: a line that is not an entry is skipped, an
// index over kMaxDeltaIndexBytes gives no entries. Keyed by new MD5.
class DeltaIndex
{
public:
    static DeltaIndex parse(const QByteArray &bytes);

    bool isEmpty() const { return m_objects.isEmpty(); }
    int size() const;
    QVector<DeltaObject> objectsFor(const QString &newMd5) const { return m_objects.value(newMd5.toLower()); }

private:
    QHash<QString, QVector<DeltaObject>> m_objects;
};

// What to fetch for one file.
struct DeltaChoice
{
    enum class Kind { Plain, Patch, Copy };
    Kind kind = Kind::Plain;
    QString path;     // the object's path in the version folder; empty for Plain
    QString baseMd5;  // Patch: the installed file it applies to
    qint64 size = -1; // the object's size from the index
};

// For a file whose server MD5 is newMd5 and whose local manifest MD5 is
// localMd5 (empty when not installed): a patch from localMd5, else the
// compressed copy, else the plain file. plainSize (when >= 0) drops objects
// that are not smaller than the file itself.
DeltaChoice chooseDelta(const DeltaIndex &index, const QString &newMd5, const QString &localMd5,
                        qint64 plainSize = -1);

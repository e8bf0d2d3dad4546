#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

// What the file queue keeps for a later run of the same release when a run
// fails, is cancelled or is killed before it installs anything. One folder,
// UpdateTmp/resume/, holds for each file of the queue (by resumeId()):
//   "<id>"       the file, fetched and verified;
//   "<id>.part"  the file as far as it came;
//   "<id>.rec"   what the partial file was fetched for (resumeRecord),
//                written before its first byte, so a killed run leaves a
//                usable one;
// and "release.txt", the server folder the files belong to. Nothing in it is
// trusted: a kept file is hashed again and must match the new manifest, a
// partial one is continued only with If-Range.

// Partial files shorter than this are not worth a record: they are fetched
// again whole.
constexpr qint64 kResumeMinBytes = 1024 * 1024;

struct ResumeRecord
{
    QString folder; // the server folder, "2.0/"
    QString key;    // the manifest key, "/sub/a.dll"
    QString md5;    // the manifest's MD5 for it, lower case
    // The If-Range value: the server's strong ETag, else its Last-Modified.
    QByteArray validator;
};

// Lower-case hex MD5 of the key's UTF-8: safe on every file system,
// whatever letters and length the key has.
QString resumeId(const QString &key);

QByteArray formatResumeRecord(const ResumeRecord &record);
// False for anything that is not a whole record.
bool parseResumeRecord(const QByteArray &text, ResumeRecord &record);

// What If-Range may carry: a strong ETag, else a Last-Modified date; empty
// when the server gave neither (a weak ETag cannot be used).
QByteArray resumeValidator(const QByteArray &etag, const QByteArray &lastModified);

// Whether a 206's Content-Range continues the file at offset
// ("bytes offset-last/total" with last + 1 == total, or total "*").
bool rangeContinuesAt(const QByteArray &contentRange, qint64 offset);

class ResumeStore
{
public:
    // dir ends in '/'.
    explicit ResumeStore(const QString &dir = QString()) : m_dir(dir) {}
    QString dir() const { return m_dir; }

    QString keptPath(const QString &id) const { return m_dir + id; }
    QString partPath(const QString &id) const { return m_dir + id + QStringLiteral(".part"); }
    QString recordPath(const QString &id) const { return m_dir + id + QStringLiteral(".rec"); }

    // Anything in the folder but its release name.
    bool holdsFiles() const;
    // Makes the folder serve folder's files whose ids are in wanted:
    // everything of another release goes, and so does any entry that is not
    // one of the wanted files, then release.txt names folder. False (error
    // says why) when the folder cannot be made.
    bool prepare(const QString &folder, const QSet<QString> &wanted, QString &error);

    // Written before a partial file's first byte.
    bool writeRecord(const QString &id, const ResumeRecord &record) const;
    // The length of a partial file that may be continued for record's
    // folder, key and MD5, and the validator to send; 0 when there is
    // none (whatever was there is removed).
    qint64 continuableLength(const QString &id, const ResumeRecord &wanted, QByteArray &validator) const;
    // Removes the partial file and its record.
    void dropPartial(const QString &id) const;
    // Removes the folder and all in it.
    bool remove() const;

private:
    QString m_dir;
};

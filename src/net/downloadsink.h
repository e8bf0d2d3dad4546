#pragma once

#include <QCryptographicHash>
#include <QFile>
#include <QString>

// The file a download streams into. Every write is checked and hashed as it
// happens, so a full disk or a short write is noticed and the MD5 of what
// reached the disk is known without reading the file back. The data goes to
// a fresh temporary file beside the target that takes the target's name
// only when finished: a link planted at the target is replaced, never
// written through, and a half download never carries the real name.
class DownloadSink
{
public:
    DownloadSink() = default;
    ~DownloadSink();
    DownloadSink(const DownloadSink &) = delete;
    DownloadSink &operator=(const DownloadSink &) = delete;

    // Starts writing what will become path.
    bool open(const QString &path);
    // The same with the data in partPath, a name that outlives the run: a
    // later run continues a cut-off download from it. With continueAt > 0
    // the file there is continued (hashed first, and it must hold exactly
    // that many bytes); otherwise whatever stands there is replaced.
    bool openPart(const QString &path, const QString &partPath, qint64 continueAt);
    // The server sent the whole file after all: starts it over.
    bool restart();
    // Closes what was written so far and leaves it for a later run.
    void keepPartial();
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_path; }

    // Writes all of data; false (and the sink failed) when anything is short.
    bool write(const QByteArray &data);
    // The file being written, for a writer of its own (a delta decoder) that
    // hands each run of bytes it wrote to noteWritten(), so the hash and size
    // are those of the file all the same.
    QString temporaryPath() const { return m_file.fileName(); }
    void noteWritten(const char *data, qint64 size);
    // Flushes, closes and puts the file in place; false when a buffered
    // write fails at this point or the file cannot take its name.
    bool finish();
    // Closes and deletes what was written, finished or not, and whatever
    // stood under the target's name.
    void discard();

    bool failed() const { return m_failed; }
    qint64 bytesWritten() const { return m_size; }
    // Lowercase hex MD5 of everything written so far.
    QString md5Hex() const;

private:
    QString m_path;
    QFile m_file;
    bool m_placed = false;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    qint64 m_size = 0;
    bool m_failed = false;
};

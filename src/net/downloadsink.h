#pragma once

#include <QCryptographicHash>
#include <QFile>
#include <QString>

// The file a download streams into. Every write is checked and hashed as it
// happens, so a full disk or a short write is noticed and the MD5 of what
// reached the disk is known without reading the file back.
class DownloadSink
{
public:
    DownloadSink() = default;
    ~DownloadSink();
    DownloadSink(const DownloadSink &) = delete;
    DownloadSink &operator=(const DownloadSink &) = delete;

    // Creates or truncates path for writing.
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }

    // Writes all of data; false (and the sink failed) when anything is short.
    bool write(const QByteArray &data);
    // Flushes and closes; false when a buffered write fails at this point.
    bool finish();
    // Closes and deletes the file (a link is removed, not its target).
    void discard();

    bool failed() const { return m_failed; }
    qint64 bytesWritten() const { return m_size; }
    // Lowercase hex MD5 of everything written so far.
    QString md5Hex() const;

private:
    QFile m_file;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    qint64 m_size = 0;
    bool m_failed = false;
};

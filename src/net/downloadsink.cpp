#include "downloadsink.h"

#include "fs/safefs.h"

DownloadSink::~DownloadSink()
{
    if (m_file.isOpen())
        m_file.close();
}

bool DownloadSink::open(const QString &path)
{
    m_path = path;
    m_placed = false;
    m_file.setFileName(temporarySibling(path));
    m_hash.reset();
    m_size = 0;
    // A folder cannot become the file; noticed now, not after the download.
    m_failed = isRealDirectory(path) || !m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    return !m_failed;
}

bool DownloadSink::openPart(const QString &path, const QString &partPath, qint64 continueAt)
{
    m_path = path;
    m_placed = false;
    m_hash.reset();
    m_size = 0;
    m_file.setFileName(partPath);
    m_failed = isRealDirectory(path);
    if (m_failed)
        return false;
    if (continueAt <= 0) {
        // A link or a stale file there goes itself; the data goes to a new file.
        m_failed = !m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        if (m_failed && QFile::remove(partPath))
            m_failed = !m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        return !m_failed;
    }
    // Read through a handle that follows no link and takes only a plain
    // file; the folder is the updater's own, so the name then stays that file.
    QFile existing;
    QString error;
    m_failed = !openRegularFile(partPath, QIODevice::ReadOnly, existing, error) || existing.size() != continueAt;
    while (!m_failed && !existing.atEnd()) {
        const QByteArray chunk = existing.read(1024 * 1024);
        m_failed = chunk.isEmpty();
        m_hash.addData(chunk);
        m_size += chunk.size();
    }
    existing.close();
    m_failed = m_failed || m_size != continueAt
        || !m_file.open(QIODevice::WriteOnly | QIODevice::Append) || m_file.size() != continueAt;
    return !m_failed;
}

bool DownloadSink::restart()
{
    m_hash.reset();
    m_size = 0;
    if (m_failed || !m_file.isOpen() || !m_file.resize(0) || !m_file.seek(0))
        m_failed = true;
    return !m_failed;
}

void DownloadSink::keepPartial()
{
    if (m_file.isOpen()) {
        m_file.flush();
        m_file.close();
    }
}

bool DownloadSink::write(const QByteArray &data)
{
    if (m_failed || !m_file.isOpen())
        return false;
    if (data.isEmpty())
        return true;
    if (m_file.write(data) != data.size()) {
        m_failed = true;
        return false;
    }
    m_hash.addData(data);
    m_size += data.size();
    return true;
}

void DownloadSink::noteWritten(const char *data, qint64 size)
{
    m_hash.addData(data, int(size));
    m_size += size;
}

bool DownloadSink::finish()
{
    if (!m_file.isOpen())
        return false;
    const bool flushed = m_file.flush();
    m_file.close();
    // close() reports a failed final write only through error().
    if (!flushed || m_file.error() != QFileDevice::NoError)
        m_failed = true;
    if (!m_failed) {
        m_placed = renameAtomically(m_file.fileName(), m_path, true);
        m_failed = !m_placed;
    }
    if (m_failed)
        QFile::remove(m_file.fileName());
    return !m_failed;
}

void DownloadSink::discard()
{
    if (m_file.isOpen())
        m_file.close();
    if (!m_file.fileName().isEmpty())
        QFile::remove(m_file.fileName());
    // Nothing stale may stand under the name of a failed download either;
    // a link there goes itself, its target stays.
    if (!m_path.isEmpty() && !isRealDirectory(m_path))
        QFile::remove(m_path);
    m_placed = false;
}

QString DownloadSink::md5Hex() const
{
    return QString::fromLatin1(m_hash.result().toHex());
}

#include "downloadsink.h"

DownloadSink::~DownloadSink()
{
    if (m_file.isOpen())
        m_file.close();
}

bool DownloadSink::open(const QString &path)
{
    m_file.setFileName(path);
    m_hash.reset();
    m_size = 0;
    m_failed = !m_file.open(QIODevice::WriteOnly);
    return !m_failed;
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

bool DownloadSink::finish()
{
    if (!m_file.isOpen())
        return false;
    const bool flushed = m_file.flush();
    m_file.close();
    // close() reports a failed final write only through error().
    if (!flushed || m_file.error() != QFileDevice::NoError)
        m_failed = true;
    return !m_failed;
}

void DownloadSink::discard()
{
    if (m_file.isOpen())
        m_file.close();
    if (!m_file.fileName().isEmpty())
        QFile::remove(m_file.fileName());
}

QString DownloadSink::md5Hex() const
{
    return QString::fromLatin1(m_hash.result().toHex());
}

#include "manifestformat.h"

#include <QFile>
#include <QTextCodec>

#include <cstring>

namespace {

constexpr int kMd5HexDigits = 32;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One server manifest line without its line end: hex digits, TAB, "/path".
bool parseServerLine(const char *data, int size, QString &key, QString &value)
{
    if (size < kMd5HexDigits + 2 || data[kMd5HexDigits] != '\t' || data[kMd5HexDigits + 1] != '/')
        return false;
    for (int i = 0; i < kMd5HexDigits; ++i) {
        if (!isHexDigit(data[i]))
            return false;
    }
    const char *path = data + kMd5HexDigits + 1;
    const int pathSize = size - kMd5HexDigits - 1;
    bool ascii = true;
    for (int i = 0; i < pathSize; ++i) {
        // A second field would be silently part of the path.
        if (path[i] == '\t')
            return false;
        ascii = ascii && uchar(path[i]) < 0x80;
    }
    if (ascii) {
        key = QString::fromLatin1(path, pathSize);
    } else {
        // A manifest in another code page must not turn into names nobody published.
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        key = QTextCodec::codecForMib(106)->toUnicode(path, pathSize, &state);
        if (state.invalidChars != 0 || state.remainingChars != 0)
            return false;
        // The decoder allocates a character per byte; keep what is used.
        key.squeeze();
    }
    value = QString::fromLatin1(data, kMd5HexDigits);
    return true;
}

// The entries of a server manifest, line by line.
class ServerManifestLines
{
public:
    // One line without its LF; false when it is not an entry, a blank line
    // or (first) a byte-order mark.
    bool take(const char *data, int size)
    {
        ++m_lineNumber;
        if (m_lineNumber == 1 && size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
            data += 3;
            size -= 3;
        }
        if (size > 0 && data[size - 1] == '\r')
            --size;
        if (size == 0)
            return true;
        QString key;
        QString value;
        if (!parseServerLine(data, size, key, value))
            return false;
        // md5.txt is written in key order, so nearly every key goes last.
        if (m_entries.isEmpty() || m_lastKey < key) {
            m_entries.insert(m_entries.cend(), key, value);
        } else {
            if (m_entries.contains(key))
                return false;
            m_entries.insert(key, value);
        }
        m_lastKey = key;
        return true;
    }

    int lineNumber() const { return m_lineNumber; }
    const FileManifest &entries() const { return m_entries; }

private:
    FileManifest m_entries;
    QString m_lastKey;
    int m_lineNumber = 0;
};

enum class FeedResult { Whole, BadLine, ReadFailed };

// Reads in blocks and parses in place: neither the whole file nor a list
// of its lines is ever held, only the current block and a line that
// crosses its end.
FeedResult feedLines(QFile &file, ServerManifestLines &lines)
{
    constexpr int kBlock = 64 * 1024;
    QByteArray block(kBlock, Qt::Uninitialized);
    QByteArray pending;
    qint64 length;
    while ((length = file.read(block.data(), kBlock)) > 0) {
        const char *begin = block.constData();
        const char *end = begin + length;
        while (begin < end) {
            const auto *lineEnd = static_cast<const char *>(std::memchr(begin, '\n', size_t(end - begin)));
            if (!lineEnd) {
                pending.append(begin, int(end - begin));
                break;
            }
            bool ok;
            if (pending.isEmpty()) {
                ok = lines.take(begin, int(lineEnd - begin));
            } else {
                pending.append(begin, int(lineEnd - begin));
                ok = lines.take(pending.constData(), pending.size());
                pending.resize(0);
            }
            if (!ok)
                return FeedResult::BadLine;
            begin = lineEnd + 1;
        }
    }
    if (length < 0)
        return FeedResult::ReadFailed;
    if (!pending.isEmpty() && !lines.take(pending.constData(), pending.size()))
        return FeedResult::BadLine;
    return FeedResult::Whole;
}

} // namespace

QByteArray manifestFileBytes(const FileManifest &manifest)
{
    QByteArray bytes("\xEF\xBB\xBF");
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        bytes += it.value().toUtf8();
        bytes += '\t';
        bytes += it.key().toUtf8();
        bytes += '\n';
    }
    return bytes;
}

bool readServerManifest(const QString &path, FileManifest &manifest, QString &error)
{
    manifest.clear();
    error.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        error = QStringLiteral("无法读取文件:") + path;
        return false;
    }
    ServerManifestLines lines;
    switch (feedLines(file, lines)) {
    case FeedResult::BadLine:
        error = QStringLiteral("清单格式错误:") + QString::number(lines.lineNumber());
        return false;
    case FeedResult::ReadFailed:
        error = QStringLiteral("无法读取文件:") + path;
        return false;
    case FeedResult::Whole:
        break;
    }
    if (lines.entries().isEmpty()) {
        error = QStringLiteral("清单为空");
        return false;
    }
    manifest = lines.entries();
    return true;
}

#include "filemanifest.h"

#include "update/safefs.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTextStream>

QString fileMd5(const QString &path)
{
    // Unbuffered: every byte passes through our own chunk once, with no copy
    // through QFile's 16 KiB buffer.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    // addData(QIODevice *) pulls 1 KiB at a time and calls a failed read the
    // end when the size is 0 (as for /proc files); large chunks keep the cost
    // of reading small next to MD5 itself, and -1 always means failure.
    constexpr int kChunk = 64 * 1024;
    QByteArray chunk(kChunk, Qt::Uninitialized);
    QCryptographicHash hash(QCryptographicHash::Md5);
    qint64 length;
    while ((length = file.read(chunk.data(), kChunk)) > 0)
        hash.addData(chunk.constData(), int(length));
    file.close();
    return length == 0 ? QString::fromLatin1(hash.result().toHex()) : QString();
}

void generateManifest(const QString &root)
{
    if (root.isEmpty())
        return;

    QStringList files;
    collectFiles(root, QString(), files);

    FileManifest manifest;
    for (const QString &relativePath : qAsConst(files))
        manifest.insert(relativePath, fileMd5(root + QLatin1Char('/') + relativePath));

    // Written beside and renamed over: a link standing at md5.txt is
    // replaced, never written through.
    const QString target = root + QStringLiteral("md5.txt");
    QFile out(temporarySibling(target));
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Text))
        return;
    QTextStream stream(&out);
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
        stream << it.value() << QStringLiteral("\t") << it.key() << QStringLiteral("\n");
    stream.flush();
    out.close();
    if (stream.status() != QTextStream::Ok || out.error() != QFileDevice::NoError
        || !renameAtomically(out.fileName(), target, true))
        QFile::remove(out.fileName());
}

FileManifest readManifest(const QString &path)
{
    FileManifest manifest;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return manifest;
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        const QStringList fields = line.split(QLatin1Char('\t'), Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (fields.size() < 2)
            continue;
        manifest.insert(fields.at(1), fields.at(0));
    }
    file.close();
    return manifest;
}

FileManifest compareManifests(const FileManifest &local, const FileManifest &server)
{
    FileManifest result;
    for (auto it = server.cbegin(); it != server.cend(); ++it) {
        const auto localIt = local.constFind(it.key());
        if (localIt == local.cend() || localIt.value() != it.value())
            result.insert(it.key(), it.value());
    }
    return result;
}

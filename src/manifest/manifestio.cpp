#include "filemanifest.h"

#include "config/constants.h"
#include "fs/safefs.h"

#include <QCryptographicHash>
#include <QDebug>
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
    const QString target = root + kMd5File;
    // A folder, FIFO or hard link there is not ours to write into or over.
    if (isOddEntry(target) && !moveAsideStale(target))
        return;
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
    QFile file;
    QString problem;
    if (!openRegularFile(path, QIODevice::ReadOnly | QIODevice::Text, file, problem))
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
    // Until an entry is left out the result is server itself, shared: a
    // first installation of a large release needs no second map. From then
    // on entries are appended (they come in key order), their strings
    // still shared with server.
    FileManifest result;
    bool leftOut = false;
    for (auto it = server.cbegin(); it != server.cend(); ++it) {
        const auto localIt = local.constFind(it.key());
        const bool changed = localIt == local.cend() || localIt.value() != it.value();
        if (!leftOut && !changed) {
            leftOut = true;
            for (auto before = server.cbegin(); before != it; ++before)
                result.insert(result.cend(), before.key(), before.value());
        } else if (leftOut && changed) {
            result.insert(result.cend(), it.key(), it.value());
        }
    }
    return leftOut ? result : server;
}

void dropUnchangedEntries(FileManifest &server, const QString &localManifestPath)
{
    // Only a regular file, opened without waiting: a FIFO in its place
    // would hold the run for ever. Unreadable, every entry is fetched.
    QFile file;
    QString problem;
    if (!openRegularFile(localManifestPath, QIODevice::ReadOnly | QIODevice::Text, file, problem)) {
        qDebug() << "本地清单不可用:" << localManifestPath << problem;
        return;
    }
    // The local manifest is read as readManifest reads it, line by line, and
    // never held whole. Entries it matches move aside (their strings are
    // moved, not copied) so that a later line for the same key can still
    // bring one back: as in readManifest, a key's last line counts.
    FileManifest dropped;
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        const int tab = line.indexOf(QLatin1Char('\t'));
        if (tab < 0)
            continue;
        const int end = line.indexOf(QLatin1Char('\t'), tab + 1);
        const QStringRef key = line.midRef(tab + 1, end < 0 ? -1 : end - tab - 1);
        const QStringRef md5 = line.leftRef(tab);
        const QString keyText = key.toString();
        auto it = server.find(keyText);
        if (it != server.end()) {
            if (it.value() == md5) {
                dropped.insert(std::move(it.key()), std::move(it.value()));
                server.erase(it);
            }
            continue;
        }
        auto back = dropped.find(keyText);
        if (back != dropped.end() && back.value() != md5) {
            server.insert(std::move(back.key()), std::move(back.value()));
            dropped.erase(back);
        }
    }
}

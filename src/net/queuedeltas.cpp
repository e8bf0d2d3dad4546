// Patches, compressed copies and files already at hand, for the queue.

#include "ui/widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "delta/deltadecoder.h"
#include "downloadsink.h"
#include "fs/safefs.h"
#include "manifest/pathsafety.h"
#include "transfer.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

bool Widget::reuseInstalledFile(DownloadTask &task, QString &error)
{
    const QString source = m_appDir + task.plan.sourceKey.mid(1);
    if (!firstUnsafeParent(m_appDir, task.plan.sourceKey).isNull() || !QFileInfo(source).isFile()) {
        error = QStringLiteral("不是普通文件");
        return false;
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        error = in.errorString();
        return false;
    }
    QDir().mkpath(QFileInfo(task.localPath).absolutePath());
    DownloadSink sink;
    if (!sink.open(task.localPath)) {
        error = QStringLiteral("无法保存文件");
        return false;
    }
    // Hashed as it is copied: the manifest's word for the content is not enough.
    QByteArray chunk;
    while (!(chunk = in.read(kReplyReadBufferSize)).isEmpty()) {
        if (!sink.write(chunk))
            break;
    }
    const bool whole = in.error() == QFileDevice::NoError && in.atEnd() && !sink.failed();
    if (!whole || sink.md5Hex().compare(task.md5, Qt::CaseInsensitive) != 0 || !sink.finish()) {
        sink.discard();
        error = whole ? QStringLiteral("内容与清单不符") : QStringLiteral("读取或写入失败");
        return false;
    }
    ++m_queue.counts.reusedFiles;
    m_queue.counts.reusedBytes += sink.bytesWritten();
    return true;
}

bool Widget::startDelta(ActiveDownload &download, const DownloadTask &task, QString &error)
{
    const bool patch = task.plan.kind == FilePlan::Kind::Patch;
    const QString base = patch ? m_appDir + task.plan.sourceKey.mid(1) : QString();
    DownloadSink *sink = download.sink.get();
    download.decoder = std::make_unique<DeltaDecoder>();
    // The decoder writes the sink's own file and shows it what it wrote, so
    // the MD5 check is the one every download gets.
    const auto note = [sink](const char *data, qint64 size, QString &) {
        sink->noteWritten(data, size);
        return true;
    };
    return download.decoder->begin(base, sink->temporaryPath(), task.plan.objectSize, note, error);
}

bool Widget::takeBody(ActiveDownload &download, const QByteArray &data, QString &error)
{
    if (data.isEmpty())
        return true;
    download.received += data.size();
    if (download.decoder) {
        if (!download.decoder->feed(data.constData(), data.size(), error))
            return false;
        // The index is untrusted: an object not smaller than the file it
        // stands for saves nothing, whatever the index said of its size.
        const qint64 stated = download.decoder->statedSize();
        if (stated >= 0 && m_downloadQueue.at(download.index).plan.objectSize >= stated) {
            error = QStringLiteral("增量文件不小于完整文件");
            return false;
        }
        return true;
    }
    if (download.sink->write(data))
        return true;
    error = QStringLiteral("无法保存文件:") + download.sink->path();
    return false;
}

void Widget::countVerified(const ActiveDownload &download, const DownloadTask &task)
{
    TransferCounts &counts = m_queue.counts;
    if (task.plan.kind == FilePlan::Kind::Patch) {
        ++counts.patchedFiles;
        counts.patchedBytes += download.received;
    } else if (task.plan.kind == FilePlan::Kind::Copy) {
        ++counts.copiedFiles;
        counts.copiedBytes += download.received;
    } else {
        ++counts.downloadedFiles;
        counts.downloadedBytes += download.received;
    }
    if (download.resumedFrom > 0) {
        ++counts.resumedFiles;
        counts.resumedFromBytes += download.resumedFrom;
        counts.resumedBytes += download.received;
    }
}

void Widget::fallBackToPlain(int inFlight, const QString &why)
{
    // Once per file: the plain file is what every client can fetch.
    const int index = m_queue.inFlight[inFlight].index;
    DownloadTask &task = m_downloadQueue[index];
    qDebug() << "增量文件不可用，改为下载完整文件:" << keyOfLocalPath(task.localPath) << why;
    // The decoder lets go of the file before it is deleted: a mapped file
    // cannot be deleted everywhere.
    m_queue.inFlight[inFlight].decoder->abort();
    m_queue.inFlight[inFlight].sink->discard();
    dropInFlight(inFlight);
    task.plan = FilePlan();
    startFileRequest(index, CachePolicy::Cacheable);
}

bool Widget::deltaCompleted(int inFlight)
{
    ActiveDownload &download = m_queue.inFlight[inFlight];
    QNetworkReply *reply = download.reply;
    if (reply->error() != QNetworkReply::NoError) {
        fallBackToPlain(inFlight, reply->errorString());
        return false;
    }
    if (!drainReply(inFlight))
        return false;
    QString error;
    if (endedShort(reply, download.received))
        error = QStringLiteral("文件不完整");
    else
        download.decoder->finish(error);
    if (error.isEmpty())
        return true;
    fallBackToPlain(inFlight, error);
    return false;
}

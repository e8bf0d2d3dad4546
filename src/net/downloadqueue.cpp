#include "ui/widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "delta/deltadecoder.h"
#include "downloadsink.h"
#include "proxysetting.h"
#include "resumestore.h"
#include "tlstrust.h"
#include "transfer.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QStringBuilder>

void Widget::startDownloadQueue(FileManifest files)
{
    m_isUpdating = true;
    m_statusText = kStatusUpdating;
    m_errorMessage = QLatin1String("");

    clearDownloadQueue();
    m_queue.verifiedFiles.clear();
    m_currentIndex = 0;
    m_queue.startedFiles = 0;
    m_queue.counts = TransferCounts();
    m_totalFiles = files.size();

    SettingsStore &settings = SettingsStore::instance();
    m_queue.maxDownloads = maxDownloadsFromSetting(settings.value(kKeyMaxDownloads));
    if (settings.isSet(kKeyMaxDownloads))
        qDebug() << "同时下载文件数:" << m_queue.maxDownloads << "设置:" << settings.value(kKeyMaxDownloads);

    // A release can list hundreds of thousands of files: each file's task
    // is made from what is still pending when its download starts, so the
    // queue never holds a second copy of the whole release.
    m_queue.pendingFiles = std::move(files);

    showQueueStart(m_totalFiles);

    if (m_totalFiles > 0)
        downloadNextFile();
    else
        onUpdateCompleted(true);
}

void Widget::downloadNextFile()
{
    if (m_cancelRequested) {
        onUpdateCompleted(false);
        return;
    }
    // Files start in manifest order as slots free up; a file copied from
    // the installation takes no slot, so the last one may end the queue.
    while (m_queue.verifiedFiles.size() < m_totalFiles && int(m_queue.inFlight.size()) < downloadSlots()
           && m_queue.startedFiles < m_totalFiles) {
        if (!startNextFile())
            return;
    }
    if (m_queue.verifiedFiles.size() >= m_totalFiles && m_queue.inFlight.empty()) {
        qDebug().noquote() << transferCountsText(m_queue.counts);
        if (stageResumedFiles())
            onUpdateCompleted(true);
    }
}

int Widget::downloadSlots() const
{
    return m_queue.http2InUse ? m_queue.maxDownloads : qMin(m_queue.maxDownloads, kHttp1ConnectionsPerHost);
}

void Widget::showQueueCount()
{
    const int shown = qMin(m_queue.verifiedFiles.size() + 1, m_totalFiles);
    m_statusText = tr("%1 %2/%3").arg(kStatusUpdating).arg(shown).arg(m_totalFiles);
    refreshLabelsSoon();
}

bool Widget::startNextFile()
{
    const int index = m_queue.startedFiles;
    if (m_downloadQueue.size() <= index && !m_queue.pendingFiles.isEmpty()) {
        const auto next = m_queue.pendingFiles.begin();
        DownloadTask made;
        made.url = composeFileUrl(SettingsStore::instance().value(kKeyUrl), m_serverFolder, next.key());
        made.localPath = m_appDir % kUpdateTmpDir % next.key();
        made.md5 = next.value();
        made.plan = planFile(m_queue.deltas, next.key(), next.value());
        m_queue.pendingFiles.erase(next);
        m_downloadQueue.append(made);
    }
    ++m_queue.startedFiles;
    DownloadTask &task = m_downloadQueue[index];
    const QString key = keyOfLocalPath(task.localPath);
    const bool kept = takeKeptFile(task);
    if (!kept && task.plan.kind != FilePlan::Kind::Reuse)
        return startFileRequest(index, CachePolicy::Cacheable);

    QString why;
    if (!kept && !reuseInstalledFile(task, why)) {
        qDebug() << "无法使用本地相同文件，改为下载:" << key << why;
        task.plan = FilePlan();
        return startFileRequest(index, CachePolicy::Cacheable);
    }
    if (!kept)
        qDebug() << "使用本地相同文件:" << key << "来自" << task.plan.sourceKey;
    m_queue.verifiedFiles.append(key);
    emit m_queue.notifier.fileVerified(m_queue.verifiedFiles.size());
    m_downloadQueue[index] = DownloadTask();
    setOverallProgressSoon(m_queue.verifiedFiles.size());
    showQueueCount();
    return true;
}

bool Widget::startFileRequest(int index, CachePolicy cache)
{
    m_currentIndex = index;
    DownloadTask &task = m_downloadQueue[index];
    if (task.plan.kind == FilePlan::Kind::Patch
        && fileMd5(m_appDir + task.plan.sourceKey.mid(1)) != task.plan.sourceMd5) {
        qDebug() << "增量基准文件与本地清单不符，改为下载完整文件:" << task.plan.sourceKey;
        task.plan = FilePlan();
    }
    const bool delta = task.plan.kind == FilePlan::Kind::Patch || task.plan.kind == FilePlan::Kind::Copy;
    m_errorMessage = QFileInfo(task.localPath).fileName();
    if (task.plan.kind == FilePlan::Kind::Patch)
        m_errorMessage += QStringLiteral("（增量）");
    showQueueCount();
    setFileProgressSoon(0);

    const QString setupError = requestSetupError();
    if (!setupError.isNull()) {
        failQueue(QStringLiteral("下载错误:") + setupError);
        return false;
    }

    QByteArray validator;
    qint64 resumeFrom = 0;
    std::unique_ptr<DownloadSink> sink = openFileSink(task, cache, resumeFrom, validator);
    if (!sink) {
        qDebug() << "无法保存文件:" << task.localPath;
        failQueue(QStringLiteral("无法保存文件:") + task.localPath);
        return false;
    }

    ActiveDownload download{index, nullptr, std::move(sink), nullptr, 0, resumeFrom};
    QString deltaError;
    if (delta && !startDelta(download, task, deltaError)) {
        qDebug() << "增量文件不可用，改为下载完整文件:" << keyOfLocalPath(task.localPath) << deltaError;
        download.decoder.reset();
        download.sink->discard();
        task.plan = FilePlan();
        return startFileRequest(index, cache);
    }
    const QString url = delta ? composeFileUrl(SettingsStore::instance().value(kKeyUrl), m_serverFolder,
                                               QLatin1Char('/') + task.plan.objectPath)
                              : task.url;
    applyProxySetting(m_networkManager);
    QNetworkRequest request = makeDownloadRequest(url, cache);
    if (resumeFrom > 0) {
        qDebug() << "继续上次的下载:" << keyOfLocalPath(task.localPath) << "已有字节:" << resumeFrom;
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeFrom) + '-');
        request.setRawHeader("If-Range", validator);
    }
    QNetworkReply *reply = m_networkManager.get(request);
    reply->setReadBufferSize(kReplyReadBufferSize);
    m_currentReply = reply;
    download.reply = reply;
    m_queue.inFlight.push_back(std::move(download));
    noteCertificateErrors(reply);
    connect(reply, &QNetworkReply::downloadProgress, this, &Widget::onDownloadProgress);
    connect(reply, &QNetworkReply::finished, this, &Widget::onDownloadFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &Widget::onDownloadError);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply]() {
        const int at = inFlightIndexOf(reply);
        if (at >= 0 && drainReply(at) && reply == m_currentReply)
            setFileProgressSoon(
                writtenPercent(reply, m_queue.inFlight[at].received, m_queue.inFlight[at].resumedFrom));
    });
    return true;
}

int Widget::senderDownload() const
{
    // Called directly, a slot is about the file started last.
    return inFlightIndexOf(sender() ? sender() : m_currentReply);
}

int Widget::inFlightIndexOf(const QObject *reply) const
{
    for (size_t i = 0; i < m_queue.inFlight.size(); ++i) {
        if (reply && m_queue.inFlight[i].reply == reply)
            return int(i);
    }
    return -1;
}

bool Widget::drainReply(int inFlight)
{
    ActiveDownload &download = m_queue.inFlight[inFlight];
    // An error page is not the object: its reply ends in an error, which
    // falls back to the plain file.
    const int status = download.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!download.decoder && !download.answerChecked && status != 0 && !checkFileAnswer(inFlight))
        return false;
    // An error page is never the file, nor the rest of one.
    if (status >= 300) {
        download.reply->readAll();
        return true;
    }
    QString error;
    if (takeBody(download, download.reply->readAll(), error))
        return true;
    if (download.decoder) {
        fallBackToPlain(inFlight, error);
        return false;
    }
    const QString localPath = m_downloadQueue.at(download.index).localPath;
    qDebug() << "无法保存文件:" << localPath;
    failQueue(QStringLiteral("无法保存文件:") + localPath);
    return false;
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The bar follows the file started last; a direct call (no sender)
    // is taken as it comes.
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (reply && reply != m_currentReply)
        return;
    const int status = reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    const int at = inFlightIndexOf(reply);
    const qint64 before = at >= 0 ? m_queue.inFlight[at].resumedFrom : 0;
    const int percent = progressPercent(before + bytesReceived, bytesTotal < 0 ? bytesTotal : before + bytesTotal, status);
    if (percent >= 0)
        setFileProgressSoon(percent);
}

void Widget::onDownloadFinished()
{
    const int at = senderDownload();
    if (m_cancelRequested) {
        releaseCurrentDownload();
        onUpdateCompleted(false);
        return;
    }
    // Not ours: a reply let go of, or the queue has already ended.
    if (at < 0)
        return;

    QNetworkReply *reply = m_queue.inFlight[at].reply;
    const DownloadTask task = m_downloadQueue.at(m_queue.inFlight[at].index);

    const bool delta = bool(m_queue.inFlight[at].decoder);
    if (delta && !deltaCompleted(at))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        const QString reason = reply->errorString();
        m_errorMessage = QStringLiteral("文件下载失败:") + reason;
        if (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError)
            m_errorMessage = m_end.callerError = proxyFailureText();
        qDebug() << "文件下载失败:" << reason;
        logFailedRequest(task.url, reply, m_errorMessage);
        releaseCurrentDownload();
        onUpdateCompleted(false);
        return;
    }

    if (!drainReply(at))
        return;
    DownloadSink &sink = *m_queue.inFlight[at].sink;
    if (endedShort(reply, m_queue.inFlight[at].received)) {
        qDebug() << "文件不完整:" << task.url;
        logFailedRequest(task.url, reply, QStringLiteral("下载错误:文件不完整"));
        failQueue(QStringLiteral("下载错误:文件不完整:") + keyOfLocalPath(task.localPath));
        return;
    }
    if (!sink.finish()) {
        qDebug() << "无法保存文件:" << task.localPath;
        failQueue(QStringLiteral("无法保存文件:") + task.localPath);
        return;
    }

    const QString key = keyOfLocalPath(task.localPath);
    if (sink.md5Hex().compare(task.md5, Qt::CaseInsensitive) != 0) {
        if (delta) {
            fallBackToPlain(at, QStringLiteral("文件校验失败"));
            return;
        }
        if (!task.refetched) {
            refetchFile(at);
            return;
        }
        qDebug() << "文件校验失败:" << key;
        failQueue(QStringLiteral("文件校验失败:") + key);
        return;
    }

    if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        m_queue.http2InUse = true;
    const int index = m_queue.inFlight[at].index;
    countVerified(m_queue.inFlight[at], task);
    if (m_queue.inFlight[at].partialRecorded || m_queue.inFlight[at].resumedFrom > 0)
        QFile::remove(m_queue.resume.recordPath(resumeId(key)));
    dropInFlight(at);

    m_queue.verifiedFiles.append(key);
    m_queue.inResume.append(key);
    qDebug() << "文件下载成功并验证通过:" << task.localPath;
    emit m_queue.notifier.fileVerified(m_queue.verifiedFiles.size());
    // Done with: only its key is needed from here on.
    m_downloadQueue[index] = DownloadTask();
    setOverallProgressSoon(m_queue.verifiedFiles.size());
    showQueueCount();
    downloadNextFile();
}

void Widget::dropInFlight(int inFlight)
{
    ActiveDownload &download = m_queue.inFlight[inFlight];
    QNetworkReply *reply = download.reply;
    if (download.decoder)
        download.decoder->abort();
    reply->disconnect(this);
    if (!reply->isFinished() && reply->error() == QNetworkReply::NoError)
        reply->abort();
    reply->deleteLater();
    m_queue.inFlight.erase(m_queue.inFlight.begin() + inFlight);
    if (reply == m_currentReply)
        m_currentReply = nullptr;
}

void Widget::refetchFile(int inFlight)
{
    // A cache on the way may hold an old copy of a republished folder.
    ActiveDownload &download = m_queue.inFlight[inFlight];
    const int index = download.index;
    DownloadTask &task = m_downloadQueue[index];
    qDebug() << "文件校验失败，不经缓存重新下载:" << keyOfLocalPath(task.localPath);
    task.refetched = true;
    download.sink->discard();
    m_queue.resume.dropPartial(resumeId(keyOfLocalPath(task.localPath)));
    QNetworkReply *reply = download.reply;
    reply->disconnect(this);
    reply->deleteLater();
    m_queue.inFlight.erase(m_queue.inFlight.begin() + inFlight);
    if (reply == m_currentReply)
        m_currentReply = nullptr;
    startFileRequest(index, CachePolicy::Bypass);
}

void Widget::onDownloadError(QNetworkReply::NetworkError error)
{
    // Replies we let go of are disconnected before they are aborted, so
    // this is about one in flight, if any, and a cancel code can only come
    // from Qt ending a transfer whose time-out expired.
    m_errorMessage = QLatin1String("");
    const int at = senderDownload();
    if (at >= 0 && m_queue.inFlight[at].decoder && !m_cancelRequested) {
        fallBackToPlain(at, m_queue.inFlight[at].reply->errorString());
        return;
    }
    // 416: the kept part is not a prefix the server can continue.
    if (at >= 0 && m_queue.inFlight[at].resumedFrom > 0 && !m_cancelRequested
        && m_queue.inFlight[at].reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 416) {
        restartWhole(at, m_queue.inFlight[at].reply->errorString());
        return;
    }
    if (at >= 0) {
        QNetworkReply *reply = m_queue.inFlight[at].reply;
        const bool timedOut = error == QNetworkReply::TimeoutError
            || error == QNetworkReply::OperationCanceledError;
        const bool untrusted = error == QNetworkReply::SslHandshakeFailedError;
        m_errorMessage = QStringLiteral("下载错误:")
            + (timedOut    ? transferTimeoutText().chopped(1)
               : untrusted ? trustFailureText(reply)
                           : reply->errorString());
        if (error == QNetworkReply::ProxyAuthenticationRequiredError)
            m_errorMessage = m_end.callerError = proxyFailureText();
        logFailedRequest(m_downloadQueue.at(m_queue.inFlight[at].index).url, reply, m_errorMessage);
    }
    releaseCurrentDownload();
    onUpdateCompleted(false);
}

void Widget::releaseCurrentDownload()
{
    std::vector<ActiveDownload> released;
    released.swap(m_queue.inFlight);
    m_currentReply = nullptr;
    for (ActiveDownload &download : released) {
        // The decoder lets go of the file first: a mapped file cannot be
        // deleted everywhere.
        if (download.decoder)
            download.decoder->abort();
        // A cut-off file with a record stays for the next run; anything
        // finished here has not been verified and goes.
        const bool keep = !download.decoder && download.sink->isOpen() && !download.sink->failed()
            && (download.partialRecorded || download.resumedFrom > 0);
        if (keep)
            download.sink->keepPartial();
        else
            download.sink->discard();
        QNetworkReply *reply = download.reply;
        reply->disconnect(this);
        // A reply that already failed or finished has nothing to stop.
        if (!reply->isFinished() && reply->error() == QNetworkReply::NoError)
            reply->abort();
        reply->deleteLater();
    }
}

void Widget::failQueue(const QString &message)
{
    m_errorMessage = message;
    releaseCurrentDownload();
    onUpdateCompleted(false);
}

QString Widget::keyOfLocalPath(const QString &localPath) const
{
    return localPath.mid(m_appDir.size() + kUpdateTmpDir.size());
}

#include "ui/widget.h"
#include "ui_widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "downloadsink.h"
#include "tlstrust.h"
#include "transfer.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QStringBuilder>

void Widget::startDownloadQueue(FileManifest files)
{
    m_isUpdating = true;
    m_statusText = kStatusUpdating;
    m_errorMessage = QLatin1String("");

    clearDownloadQueue();
    m_verifiedFiles.clear();
    m_currentIndex = 0;
    m_totalFiles = files.size();

    // A release can list hundreds of thousands of files: each file's task
    // is made from what is still pending when its download starts, so the
    // queue never holds a second copy of the whole release.
    m_pendingFiles = std::move(files);

    ui->progressBar_update->setValue(0);
    ui->progressBar_update->setRange(0, m_totalFiles);
    ui->label_update->setText(kStatusUpdating + tr("准备更新 %1 个文件").arg(m_totalFiles));

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
    if (m_currentIndex >= m_totalFiles) {
        onUpdateCompleted(true);
        return;
    }

    if (m_downloadQueue.size() <= m_currentIndex && !m_pendingFiles.isEmpty()) {
        const auto next = m_pendingFiles.begin();
        DownloadTask made;
        made.url = composeFileUrl(SettingsStore::instance().value(kKeyUrl), m_serverFolder, next.key());
        made.localPath = m_appDir % kUpdateTmpDir % next.key();
        made.md5 = next.value();
        m_pendingFiles.erase(next);
        m_downloadQueue.append(made);
    }
    const DownloadTask &task = m_downloadQueue.at(m_currentIndex);
    m_statusText = tr("%1 %2/%3").arg(kStatusUpdating).arg(m_currentIndex + 1).arg(m_totalFiles);
    m_errorMessage = QFileInfo(task.localPath).fileName();
    refreshLabelsSoon();
    setFileProgressSoon(0);

    QDir().mkpath(QFileInfo(task.localPath).absolutePath());

    const QString trustError = trustSetupError();
    if (!trustError.isNull()) {
        failQueue(QStringLiteral("下载错误:") + trustError);
        return;
    }

    m_currentSink = std::make_unique<DownloadSink>();
    if (!m_currentSink->open(task.localPath)) {
        const QString message = QStringLiteral("无法保存文件:") + task.localPath;
        qDebug() << "无法保存文件:" << task.localPath;
        m_currentSink.reset();
        failQueue(message);
        return;
    }

    m_currentReply = m_networkManager.get(makeDownloadRequest(task.url));
    m_currentReply->setReadBufferSize(kReplyReadBufferSize);
    noteCertificateErrors(m_currentReply);
    connect(m_currentReply, &QNetworkReply::downloadProgress, this, &Widget::onDownloadProgress);
    connect(m_currentReply, &QNetworkReply::finished, this, &Widget::onDownloadFinished);
    connect(m_currentReply, &QNetworkReply::errorOccurred, this, &Widget::onDownloadError);
    connect(m_currentReply, &QNetworkReply::readyRead, this, [this]() {
        if (!m_currentReply || !m_currentSink)
            return;
        if (!m_currentSink->write(m_currentReply->readAll())) {
            const QString localPath = m_currentSink->path();
            qDebug() << "无法保存文件:" << localPath;
            failQueue(QStringLiteral("无法保存文件:") + localPath);
        }
    });
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    const int status = m_currentReply
        ? m_currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()
        : 0;
    const int percent = progressPercent(bytesReceived, bytesTotal, status);
    if (percent >= 0)
        setFileProgressSoon(percent);
}

void Widget::onDownloadFinished()
{
    QNetworkReply *reply = m_currentReply;
    if (m_cancelRequested) {
        releaseCurrentDownload();
        onUpdateCompleted(false);
        return;
    }
    if (!reply)
        return;

    const DownloadTask task = m_downloadQueue.at(m_currentIndex);

    if (reply->error() != QNetworkReply::NoError) {
        const QString reason = reply->errorString();
        m_errorMessage = QStringLiteral("文件下载失败:") + reason;
        qDebug() << "文件下载失败:" << reason;
        logFailedRequest(task.url, reply, m_errorMessage);
        releaseCurrentDownload();
        onUpdateCompleted(false);
        return;
    }

    bool saved = m_currentSink && m_currentSink->write(reply->readAll());
    if (saved && endedShort(reply, m_currentSink->bytesWritten())) {
        qDebug() << "文件不完整:" << task.url;
        logFailedRequest(task.url, reply, QStringLiteral("下载错误:文件不完整"));
        failQueue(QStringLiteral("下载错误:文件不完整:") + keyOfLocalPath(task.localPath));
        return;
    }
    saved = saved && m_currentSink->finish();
    if (!saved) {
        qDebug() << "无法保存文件:" << task.localPath;
        failQueue(QStringLiteral("无法保存文件:") + task.localPath);
        return;
    }

    const QString key = keyOfLocalPath(task.localPath);
    if (m_currentSink->md5Hex().compare(task.md5, Qt::CaseInsensitive) != 0) {
        qDebug() << "文件校验失败:" << key;
        failQueue(QStringLiteral("文件校验失败:") + key);
        return;
    }

    m_currentSink.reset();
    m_currentReply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();

    m_verifiedFiles.append(key);
    qDebug() << "文件下载成功并验证通过:" << task.localPath;
    // Done with: only its key is needed from here on.
    m_downloadQueue[m_currentIndex] = DownloadTask();
    setOverallProgressSoon(m_currentIndex + 1);
    ++m_currentIndex;
    downloadNextFile();
}

void Widget::onDownloadError(QNetworkReply::NetworkError error)
{
    // Replies we let go of are disconnected before they are aborted, so
    // this is about the current one, if any, and a cancel code can only
    // come from Qt ending a transfer whose time-out expired.
    m_errorMessage = QLatin1String("");
    if (m_currentReply) {
        const bool timedOut = error == QNetworkReply::TimeoutError
            || error == QNetworkReply::OperationCanceledError;
        const bool untrusted = error == QNetworkReply::SslHandshakeFailedError;
        m_errorMessage = QStringLiteral("下载错误:")
            + (timedOut    ? transferTimeoutText().chopped(1)
               : untrusted ? trustFailureText(m_currentReply)
                           : m_currentReply->errorString());
        if (m_currentIndex < m_downloadQueue.size())
            logFailedRequest(m_downloadQueue.at(m_currentIndex).url, m_currentReply, m_errorMessage);
    }
    releaseCurrentDownload();
    onUpdateCompleted(false);
}

void Widget::releaseCurrentDownload()
{
    if (m_currentSink) {
        m_currentSink->discard();
        m_currentSink.reset();
    }
    if (m_currentReply) {
        QNetworkReply *reply = m_currentReply;
        m_currentReply = nullptr;
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

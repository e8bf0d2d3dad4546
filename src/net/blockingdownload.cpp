#include "ui/widget.h"

#include "downloadsink.h"
#include "proxysetting.h"
#include "tlstrust.h"
#include "transfer.h"
#include "transferwatchdog.h"
#include "ui/repaintthrottle.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QTimer>
#include <functional>

namespace {

// One control file on its way to disk while a local event loop runs. The
// texts it sets are the dialog's own (message, trustFailure), as they were
// while the transfer ran.
class BlockingTransfer
{
public:
    BlockingTransfer(const QString &url, const QString &savePath, QString &message, QString &trustFailure)
        : m_url(url), m_savePath(savePath), m_message(message), m_trustFailure(trustFailure)
    {
    }

    // The folder and the file it streams into; false with the message set.
    bool openFile();

    // Ends the transfer for a reason of our own; the abort's own error
    // signal then does not replace it.
    void fail(const QString &message);
    void fail(DownloadFailure failure, const QString &reason = QString(), int timeoutMs = 0);

    bool failedHere() const { return m_failedHere; }
    bool ok() const { return !m_failedHere && reply->error() == QNetworkReply::NoError; }
    bool running() const { return !m_failedHere && !reply->isFinished(); }

    // We asked for the body as stored; encoded anyway it is not this file,
    // and it is never inflated here.
    bool refuseEncoded();

    void onReadyRead();

    // An error Qt reported; proxyFailure is the text for a proxy that wants
    // credentials.
    void onError(QNetworkReply::NetworkError code, const QString &proxyFailure);

    // After the loop: the rest of the body, its length and the file in place.
    void finishBody();

    QNetworkReply *reply = nullptr;
    DownloadSink sink;
    QEventLoop loop;

private:
    void markFailed(const QString &message);

    QString m_url;
    QString m_savePath;
    QString &m_message;
    QString &m_trustFailure;
    bool m_failedHere = false;
};

bool BlockingTransfer::openFile()
{
    QDir dir = QFileInfo(m_savePath).dir();
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        m_message = QStringLiteral("无法创建目录:") + dir.path();
        return false;
    }
    if (!sink.open(m_savePath)) {
        m_message = QStringLiteral("无法打开文件:") + m_savePath;
        return false;
    }
    return true;
}

void BlockingTransfer::fail(const QString &message)
{
    m_failedHere = true;
    m_message = message;
    reply->abort();
    loop.quit();
}

void BlockingTransfer::fail(DownloadFailure failure, const QString &reason, int timeoutMs)
{
    fail(downloadFailureText(failure, m_url, reason, timeoutMs));
}

bool BlockingTransfer::refuseEncoded()
{
    const QByteArray encoding = contentEncoding(reply);
    if (encoding.isEmpty())
        return false;
    m_trustFailure = QStringLiteral("服务器发送了压缩的内容(Content-Encoding: %1)")
                         .arg(QString::fromLatin1(encoding));
    fail(DownloadFailure::Error, m_trustFailure);
    return true;
}

void BlockingTransfer::onReadyRead()
{
    if (m_failedHere || refuseEncoded())
        return;
    if (sink.bytesWritten() + reply->bytesAvailable() > kMaxControlFileSize) {
        fail(DownloadFailure::TooLarge);
        return;
    }
    if (!sink.write(reply->readAll()))
        fail(QStringLiteral("无法写入文件:") + m_savePath);
}

void BlockingTransfer::onError(QNetworkReply::NetworkError code, const QString &proxyFailure)
{
    if (m_failedHere)
        return;
    // Qt ends a transfer whose time-out expired by aborting it. Nothing
    // else can abort this reply (it is never handed out, and our own
    // aborts are marked), so a cancel is the time-out.
    if (code == QNetworkReply::TimeoutError || code == QNetworkReply::OperationCanceledError)
        m_message = downloadFailureText(DownloadFailure::TimedOut, m_url, QString(), transferTimeoutMs());
    else if (code == QNetworkReply::ProxyAuthenticationRequiredError)
        m_message = proxyFailure;
    else if (code == QNetworkReply::SslHandshakeFailedError)
        m_message = downloadFailureText(DownloadFailure::Error, m_url, trustFailureText(reply));
    else
        m_message = downloadFailureText(DownloadFailure::Error, m_url, reply->errorString());
    // Callers show their own text; a certificate problem is kept for
    // them, since the user must see which one it was.
    if (code == QNetworkReply::SslHandshakeFailedError)
        m_trustFailure = trustFailureText(reply);
    loop.quit();
}

void BlockingTransfer::finishBody()
{
    // Quitting the application ends every event loop, ours included,
    // while the transfer may still be running: that is not a finished
    // download.
    if (!m_failedHere && reply->error() == QNetworkReply::NoError && !reply->isFinished())
        fail(DownloadFailure::Interrupted);
    if (m_failedHere || reply->error() != QNetworkReply::NoError || refuseEncoded())
        return;
    const QString writeFailure = QStringLiteral("无法写入文件:") + m_savePath;
    // Whatever arrived after the last readyRead.
    if (reply->bytesAvailable() > 0 && !sink.write(reply->readAll()))
        markFailed(writeFailure);
    else if (endedShort(reply, sink.bytesWritten()))
        markFailed(downloadFailureText(DownloadFailure::Incomplete, m_url));
    else if (!sink.finish())
        markFailed(writeFailure);
}

void BlockingTransfer::markFailed(const QString &message)
{
    m_failedHere = true;
    m_message = message;
}

// Follows the transfer's progress on bar (when there is one), through the
// repaint throttle; the last value is shown by flush() when the transfer
// ends, however it ends.
class ProgressFeed
{
public:
    ProgressFeed(QProgressBar *bar, BlockingTransfer &transfer)
        : m_bar(bar), m_throttle([this]() { show(); })
    {
        if (!bar)
            return;
        QNetworkReply *reply = transfer.reply;
        QObject::connect(reply, &QNetworkReply::downloadProgress, &transfer.loop,
                         [this, reply](qint64 bytesReceived, qint64 bytesTotal) {
                             const int percent = progressPercent(
                                 bytesReceived, bytesTotal,
                                 reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
                             if (percent >= 0) {
                                 m_latestPercent = percent;
                                 m_throttle.schedule();
                             }
                         }, Qt::DirectConnection);
    }

    void flush() { m_throttle.flush(); }

private:
    void show()
    {
        if (m_bar && m_latestPercent >= 0)
            m_bar->setValue(m_latestPercent);
    }

    QProgressBar *m_bar;
    int m_latestPercent = -1;
    RepaintThrottle m_throttle;
};

// Puts a TransferWatchdog on the clock while transfer runs: data now and
// then keeps Qt's no-data time-out from ever firing, so these bound the
// whole transfer and its average rate. paused tells when the user is at a
// prompt, time that is not the server's.
class TransferWatch
{
public:
    TransferWatch(BlockingTransfer &transfer, const TransferLimits &limits, std::function<bool()> paused)
        : m_transfer(transfer), m_limits(limits), m_watchdog(limits), m_paused(std::move(paused))
    {
        m_clock.start();
        if (m_watchdog.watchesDeadline()) {
            m_deadline.setSingleShot(true);
            m_deadline.setTimerType(Qt::PreciseTimer);
            QObject::connect(&m_deadline, &QTimer::timeout, &transfer.loop, [this]() { atDeadline(); });
            m_deadline.start(int(m_watchdog.msUntilDeadline(0)));
        }
        if (m_watchdog.watchesRate()) {
            QObject::connect(&m_sampler, &QTimer::timeout, &transfer.loop, [this]() { sample(); });
            m_sampler.start(m_watchdog.sampleIntervalMs());
        }
    }

private:
    void atDeadline()
    {
        const qint64 now = m_clock.elapsed();
        if (m_watchdog.checkDeadline(now, m_paused()) == TransferWatchdog::Verdict::Fine) {
            // Started again behind a prompt (or woken a little early).
            m_deadline.start(int(qMax<qint64>(1, m_watchdog.msUntilDeadline(now))));
            return;
        }
        if (m_transfer.running())
            m_transfer.fail(DownloadFailure::TimedOut, QString(), m_limits.deadlineMs);
    }

    void sample()
    {
        if (!m_transfer.running())
            return;
        if (m_watchdog.sample(m_clock.elapsed(), m_transfer.sink.bytesWritten(), m_paused())
            == TransferWatchdog::Verdict::TooSlow)
            m_transfer.fail(DownloadFailure::TooSlow);
    }

    BlockingTransfer &m_transfer;
    TransferLimits m_limits;
    TransferWatchdog m_watchdog;
    std::function<bool()> m_paused;
    QElapsedTimer m_clock;
    QTimer m_deadline;
    QTimer m_sampler;
};

} // namespace

bool Widget::downloadFileBlocking(const QString &url, const QString &savePath,
                                  QProgressBar *progressBar, const TransferLimits &limits, bool *lengthStated)
{
    m_errorMessage = QLatin1String("");
    m_check.trustFailure.clear();
    m_proxy.failure.clear();
    const QString setupError = requestSetupError();
    if (!setupError.isNull()) {
        m_check.trustFailure = setupError;
        m_errorMessage = downloadFailureText(DownloadFailure::Error, url, setupError);
        return false;
    }
    BlockingTransfer transfer(url, savePath, m_errorMessage, m_check.trustFailure);
    if (!transfer.openFile())
        return false;

    // The dialog's manager, shared with the queue: its connections (and TLS
    // sessions) carry over from the version check to the manifest and files.
    // Control files only: never an old copy from a cache on the way.
    applyProxySetting(m_networkManager);
    QNetworkReply *reply = m_networkManager.get(makeDownloadRequest(url, CachePolicy::Bypass));
    transfer.reply = reply;
    reply->setReadBufferSize(kReplyReadBufferSize);
    noteCertificateErrors(reply);

    ProgressFeed bar(progressBar, transfer);
    connect(reply, &QNetworkReply::finished, &transfer.loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::errorOccurred, &transfer.loop, [&](QNetworkReply::NetworkError code) {
        if (code == QNetworkReply::ProxyAuthenticationRequiredError && !transfer.failedHere())
            m_proxy.failure = proxyFailureText();
        transfer.onError(code, m_proxy.failure);
    }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::readyRead, &transfer.loop, [&]() { transfer.onReadyRead(); },
            Qt::DirectConnection);
    TransferWatch watch(transfer, limits, [this]() { return m_proxy.open; });

    if (!reply->isFinished())
        transfer.loop.exec();
    transfer.finishBody();

    bar.flush();
    const bool ok = transfer.ok();
    // The queue's files will ride the same connection.
    if (ok && reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        m_queue.http2InUse = true;
    if (lengthStated)
        *lengthStated = bodyLengthStated(reply);
    // Only our own connections: the manager keeps its own to the reply.
    QObject::disconnect(reply, nullptr, &transfer.loop, nullptr);
    reply->deleteLater();
    if (!ok) {
        logFailedRequest(url, reply, m_errorMessage);
        transfer.sink.discard();
        // The callers show their own text; the reason goes to the log.
        qDebug().noquote() << "下载失败:" << m_errorMessage;
        return false;
    }
    qDebug() << "下载成功:" << savePath;
    return true;
}

#pragma once

#include "manifest/filemanifest.h"
#include "net/transfer.h"

#include <QAuthenticator>
#include <QDialog>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>
#include <vector>

class QCloseEvent;
class QMouseEvent;
class QPaintEvent;
class QProgressBar;
class QShowEvent;
class QTimer;
class DownloadSink;

namespace Ui {
class Widget;
}

// Progress reaches the screen about 30 times a second at most.
constexpr int kRepaintIntervalMs = 33;

// One file of the update queue.
struct DownloadTask
{
    QString url;
    QString localPath;
    QString md5;
    // Set once the file was fetched again, past caches, after a wrong MD5.
    bool refetched = false;
};

// The updater's only window, and the owner of the whole update state. Its
// member functions live beside the subsystem that owns them: the form and
// painting here, downloads in src/net, the workflow in src/update.
class Widget : public QDialog
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // True when the installation is current (src/update/updatecheck.cpp).
    bool checkUpdate();

    // Fetches url into savePath, running a local event loop until the
    // transfer ends (src/net/blockingdownload.cpp). limits come on top of
    // the no-data time-out. lengthStated, when given, tells whether the
    // server framed the body's end (bodyLengthStated() in transfer.h).
    bool downloadFileBlocking(const QString &url, const QString &savePath,
                              QProgressBar *progressBar, const TransferLimits &limits = TransferLimits(),
                              bool *lengthStated = nullptr);

    void runUpdate();
    // Takes files over: entries are dropped as their tasks are made, so a
    // large release is never held twice.
    void startDownloadQueue(FileManifest files);
    bool applyUpdate();
    void cleanupTempFiles();
    void clearDownloadQueue();

    // Escape or a programmatic reject: cleans up a running update first.
    // Once the update has ended it is the dialog's way out (leave()).
    void reject() override;

    // Whether a failed check, a failed update or a confirmed cancel starts
    // the main program anyway (off unless system.cfg asks for it).
    void setStartOnFailure(bool start) { m_startOnFailure = start; }

    // The run cannot start (the updater's own files or folders are unusable,
    // or a start-up recovery could not finish): the dialog ends on 更新失败
    // with reason, no check or update runs, and a calling process is told.
    // StartOnFailure applies only when installationWhole.
    void failBeforeCheck(const QString &reason, bool installationWhole);

    // Undoes an apply that died half way, before anything looks at the
    // installation (src/update/startrecovery.cpp). False when that could not
    // finish: reason says why, installationWhole whether the old version
    // still stands.
    bool recoverInstallation(QString &reason, bool &installationWhole);

    // "status: detail" as the labels hold them, for the log.
    QString statusSummary() const;

    // A failure a calling process must be told about in console mode (its
    // errormsg); empty when there is none. Only failures that reach the
    // user as such set it, never a plain "server unreachable".
    QString callerError() const { return m_callerError; }

    // Whether a proxy that wants credentials may ask the user for them (once
    // per run); console mode never asks.
    void setProxyPromptAllowed(bool allowed) { m_proxyPromptAllowed = allowed; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

protected slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void onUpdateCompleted(bool success);
    void onCancelUpdate();
    void onCheckCancelRequest();

protected:
    // A proxy answered 407 (src/net/proxyauthentication.cpp). Not a slot:
    // the dialog's slots stay those of the update itself.
    void onProxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *authenticator);

    void initUi();
    void refreshLabels();
    bool parseServerVersion();
    void downloadNextFile();

    // Starts the file after the last one started: false when that ended
    // the queue.
    bool startNextFile();
    // Requests the file of queue entry index into a fresh file; false when
    // that ended the queue.
    bool startFileRequest(int index, CachePolicy cache);
    // Fetches the file of a download in flight once more, past caches.
    void refetchFile(int inFlight);
    // "代理服务器需要身份验证:" + the proxy that asked (or the one configured).
    QString proxyFailureText() const;
    // Ends a check or run whose blocking download met a proxy that wants
    // credentials: m_proxyFailure shown as a failure, for the caller too.
    void failForProxy();
    // How many files may be in flight now: HTTP/1.1 gets at most six
    // connections per host from Qt, so more only wait in Qt's own queue.
    int downloadSlots() const;
    // Shows "正在更新 i/n" for the files finished so far.
    void showQueueCount();
    // The download of reply, or -1 when it is not one of ours.
    int inFlightIndexOf(const QObject *reply) const;
    int senderDownload() const;
    // Writes what reply holds to its file; false (and the queue failed)
    // when the disk refused it.
    bool drainReply(int inFlight);
    // Closes and removes the files of every queue download in flight and
    // lets go of their replies, so nothing is held open when clean-up runs.
    void releaseCurrentDownload();
    // Ends the queue with a failure our own code detected.
    void failQueue(const QString &message);
    QString keyOfLocalPath(const QString &localPath) const;
    void prepareTempDirForQueue();

    // The update has ended, well or not: the button becomes 关闭, and the
    // main program is started later (after success, or after a failure when
    // asked to) unless the user leaves first.
    void enterEndState(bool success);
    // Starts the main program if one is due, then closes the dialog.
    void leave();
    // Shows m_errorMessage in the detail label, elided to fit.
    void showDetailText();

    // The queue's progress reaches the screen at most about 30 times a
    // second: these note the newest values and flushView() shows them. Every
    // end of the queue flushes, so the last state is always on screen.
    void setFileProgressSoon(int percent);
    void setOverallProgressSoon(int value);
    void refreshLabelsSoon();
    void scheduleView();
    void flushView();

    Ui::Widget *ui;
    QString m_appDir;
    QString m_serverFolder;
    QString m_serverVersion;
    QStringList m_tempFiles;
    QNetworkAccessManager m_networkManager;
    QNetworkReply *m_currentReply;
    QVector<DownloadTask> m_downloadQueue;
    int m_currentIndex;
    int m_totalFiles;
    bool m_isUpdating;
    bool m_cancelRequested;
    QString m_statusText;
    QString m_errorMessage;
    QTimer *m_cancelCheckTimer;

    // Beyond the dialog's published state.
    bool m_runStarted = false;
    // A queue file being fetched: its task, its reply and the file it is
    // streamed into. m_currentReply is the reply of the one started last.
    struct ActiveDownload
    {
        int index = -1;
        QNetworkReply *reply = nullptr;
        std::unique_ptr<DownloadSink> sink;
    };
    std::vector<ActiveDownload> m_inFlight;
    // From MaxDownloads; 1 is one file at a time.
    int m_maxDownloads = 1;
    int m_startedFiles = 0;
    // Set once a reply came over HTTP/2, where one connection carries
    // every file in flight.
    bool m_http2InUse = false;
    // Keys of the files fetched and verified, in the order they finished.
    QStringList m_verifiedFiles;
    // Files of the queue whose tasks are not made yet, in download order.
    FileManifest m_pendingFiles;
    // Set by a blocking download that failed for want of trust (a
    // certificate error, an unusable CaFile): Qt's or our own reason.
    // Also set for a Proxy setting that cannot be used and for a body the
    // server compressed although asked not to: reasons the user must see.
    QString m_trustFailure;
    // Set by a blocking download that ended at a proxy wanting credentials.
    QString m_proxyFailure;
    bool m_proxyPromptAllowed = true;
    bool m_proxyPrompted = false;
    bool m_proxyPromptOpen = false;
    // The proxy that asked for credentials last, as "host:port".
    QString m_proxyName;
    // SHA-256 (hex) the server's md5.txt must have: the Manifest= of the
    // accepted update.ini, signed or not; empty when it names none.
    QString m_expectedManifestSha256;

    bool m_startOnFailure = false;
    QString m_callerError;
    // False once an apply could not put every old file back.
    bool m_installationWhole = true;
    bool m_ended = false;
    bool m_startMainOnLeave = false;
    bool m_left = false;
    // Where the dialog was grabbed, relative to its top left; null when no
    // drag is under way.
    QPoint m_dragOffset;
    bool m_dragging = false;
    bool m_detailShown = false;

    // Loaded once: decoding it in every paint cost a good part of the GUI
    // thread while files fly by.
    QPixmap m_background;
    QTimer *m_viewTimer = nullptr;
    QElapsedTimer m_sinceViewFlush;
    int m_pendingFileValue = -1;
    int m_pendingOverallValue = -1;
    bool m_pendingLabels = false;
};

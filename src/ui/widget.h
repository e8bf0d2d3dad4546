#pragma once

#include "delta/deltaplan.h"
#include "manifest/filemanifest.h"
#include "net/queuenotifier.h"
#include "net/resumestore.h"
#include "net/transfer.h"
#include "ui/repaintthrottle.h"

#include <QAuthenticator>
#include <QDialog>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <memory>
#include <vector>

class QCloseEvent;
class QMouseEvent;
class QPaintEvent;
class QProgressBar;
class QShowEvent;
class QTimer;
class DeltaDecoder;
class DownloadSink;

namespace Ui {
class Widget;
}

// One file of the update queue.
struct DownloadTask
{
    QString url;
    QString localPath;
    QString md5;
    // Set once the file was fetched again, past caches, after a wrong MD5.
    bool refetched = false;
    // How the file is obtained; Plain again once a delta failed.
    FilePlan plan;
    // Set once continuing a cut-off copy failed: the file comes whole.
    bool wholeOnly = false;
};

// src/net/downloadqueue.cpp — the file queue's own state.
// A queue file being fetched: its task, its reply and the file it is
// streamed into.
struct ActiveDownload
{
    int index = -1;
    QNetworkReply *reply = nullptr;
    std::unique_ptr<DownloadSink> sink;
    // A patch or compressed copy: turns the reply's bytes into the sink's file.
    std::unique_ptr<DeltaDecoder> decoder;
    // Bytes of the reply's body taken so far.
    qint64 received = 0;
    // A cut-off file continued from this many bytes (a Range request).
    qint64 resumedFrom = 0;
    // Set once the reply's status was looked at, before its first byte.
    bool answerChecked = false;
    // A record names the partial file: it may stay for a later run.
    bool partialRecorded = false;
};
struct QueueState
{
    // m_currentReply is the reply of the one started last.
    std::vector<ActiveDownload> inFlight;
    // From MaxDownloads; 1 is one file at a time.
    int maxDownloads = 1;
    int startedFiles = 0;
    // Set once a reply came over HTTP/2, where one connection carries
    // every file in flight.
    bool http2InUse = false;
    // Keys of the files fetched and verified, in the order they finished.
    QStringList verifiedFiles;
    // Files of the queue whose tasks are not made yet, in download order.
    FileManifest pendingFiles;
    QueueNotifier notifier;
    // The release's deltas and the installed files; inactive without them.
    DeltaSources deltas;
    TransferCounts counts;
    // src/net/queueresume.cpp — what a failed run leaves for the next one.
    ResumeStore resume;
    // The folder held an earlier run's files when the queue started.
    bool resumeHeldFiles = false;
    // Keys of verified files that wait in the resume folder until the
    // queue is through.
    QStringList inResume;
};

// src/update/updatecheck.cpp — what the control files' downloads found.
struct CheckFindings
{
    // Set by a blocking download that failed for want of trust (a
    // certificate error, an unusable CaFile): Qt's or our own reason.
    // Also set for a Proxy setting that cannot be used and for a body the
    // server compressed although asked not to: reasons the user must see.
    QString trustFailure;
    // SHA-256 (hex) the server's md5.txt must have: the Manifest= of the
    // accepted update.ini, signed or not; empty when it names none.
    QString expectedManifestSha256;
};

// src/net/proxyauthentication.cpp — a proxy that wants credentials.
struct ProxyPromptState
{
    // Console mode never asks.
    bool allowed = true;
    // Once per run.
    bool prompted = false;
    // The user is at the prompt: that time is not the server's.
    bool open = false;
    // The proxy that asked for credentials last, as "host:port".
    QString name;
    // Set by a blocking download that ended at a proxy wanting credentials.
    QString failure;
};

// src/update/completion.cpp — the end of the run.
enum class RunPhase {
    NotStarted,    // shown or not, no run queued yet
    Running,       // the check and update, or a failure before the check
    Ended,         // 关闭 on the button; nothing to start on leaving
    EndedThenMain, // ended, and the main program starts on leaving
    Left,          // the dialog has been left
};
struct RunEnd
{
    RunPhase phase = RunPhase::NotStarted;
    bool startOnFailure = false;
    QString callerError;
    // False once an apply could not put every old file back.
    bool installationWhole = true;

    bool ended() const { return phase >= RunPhase::Ended; }
};

// src/ui/widget.cpp — the view throttle: the queue's one path to the form.
// Progress is noted here and reaches the screen at most about 30 times a
// second; every end of the queue flushes, so the last state is on screen.
struct PendingView
{
    explicit PendingView(std::function<void()> show) : throttle(std::move(show)) {}
    RepaintThrottle throttle;
    int fileValue = -1;
    int overallValue = -1;
    bool labels = false;
    // Until the first refresh the detail label holds the form's own text.
    bool detailShown = false;
};

// src/ui/widget.cpp — dragging the frameless dialog.
struct DragState
{
    // Where the dialog was grabbed, relative to its top left.
    QPoint offset;
    bool active = false;
};

// The updater's only window, and the owner of the whole update state. Its
// member functions live beside the subsystem that owns them; each group
// below names the file that defines it.
class Widget : public QDialog
{
    Q_OBJECT

public:
    // src/ui/widget.cpp — the form and painting
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // src/update/updatecheck.cpp — the version check
    // True when the installation is current.
    bool checkUpdate();

    // src/net/blockingdownload.cpp — a control file, fetched while waiting
    // Fetches url into savePath, running a local event loop until the
    // transfer ends. limits come on top of the no-data time-out.
    // lengthStated, when given, tells whether the server framed the body's
    // end (bodyLengthStated() in transfer.h).
    bool downloadFileBlocking(const QString &url, const QString &savePath,
                              QProgressBar *progressBar, const TransferLimits &limits = TransferLimits(),
                              bool *lengthStated = nullptr);

    // src/update/updaterun.cpp — the update run
    void runUpdate();

    // src/update/startrecovery.cpp — an apply that died half way
    // Undoes it before anything looks at the installation. False when that
    // could not finish: reason says why, installationWhole whether the old
    // version still stands.
    bool recoverInstallation(QString &reason, bool &installationWhole);

    // src/net/downloadqueue.cpp — the file queue
    // Takes files over: entries are dropped as their tasks are made, so a
    // large release is never held twice.
    void startDownloadQueue(FileManifest files);

    // src/update/applyupdate.cpp — installing what was fetched
    bool applyUpdate();

    // src/update/cancel.cpp — cancel, close and clean-up
    void cleanupTempFiles();
    void clearDownloadQueue();
    // Escape or a programmatic reject: cleans up a running update first.
    // Once the update has ended it is the dialog's way out (leave()).
    void reject() override;

    // src/update/completion.cpp — the end of the run
    // Whether a failed check, a failed update or a confirmed cancel starts
    // the main program anyway (off unless system.cfg asks for it).
    void setStartOnFailure(bool start) { m_end.startOnFailure = start; }
    // The run cannot start (the updater's own files or folders are unusable,
    // or a start-up recovery could not finish): the dialog ends on 更新失败
    // with reason, no check or update runs, and a calling process is told.
    // StartOnFailure applies only when installationWhole.
    void failBeforeCheck(const QString &reason, bool installationWhole);
    // "status: detail" as the labels hold them, for the log.
    QString statusSummary() const;
    // A failure a calling process must be told about in console mode (its
    // errormsg); empty when there is none. Only failures that reach the
    // user as such set it, never a plain "server unreachable".
    QString callerError() const { return m_end.callerError; }

    // src/net/proxyauthentication.cpp — a proxy that wants credentials
    // Whether such a proxy may ask the user for them (once per run).
    void setProxyPromptAllowed(bool allowed) { m_proxy.allowed = allowed; }

    // src/net/downloadqueue.cpp — the file queue
    // Says when a file has been verified.
    const QueueNotifier *queueNotifier() const { return &m_queue.notifier; }

protected:
    // src/ui/widget.cpp — the form and painting
    void initUi();
    void refreshLabels();
    // Shows m_errorMessage in the detail label, elided to fit.
    void showDetailText();
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

    // src/ui/widget.cpp — the view throttle
    // These note the newest values and flushView() shows them.
    void setFileProgressSoon(int percent);
    void setOverallProgressSoon(int value);
    void refreshLabelsSoon();
    void scheduleView();
    void flushView();
    void showPendingView();
    // The queue starts: the overall bar counts total files from zero, and
    // the status label says how many are to come.
    void showQueueStart(int total);

    // src/update/updatecheck.cpp — the version check
    bool parseServerVersion();

    // src/update/updaterun.cpp — the update run
    void showEvent(QShowEvent *event) override;
    // Fetches the server's md5.txt into path; false once that ended the run.
    bool fetchServerManifest(const QString &path, bool &lengthStated);
    // The files of the server's manifest at path this run must fetch; false
    // (m_errorMessage says why) when the manifest cannot be used.
    bool selectFilesToFetch(const QString &path, FileManifest &toFetch);
    void prepareTempDirForQueue();
    // When update.ini names deltas and system.cfg allows them: fetches
    // their index and reads the local manifest. Never ends the run.
    void loadDeltaSources();

    // src/net/downloadqueue.cpp — the file queue
    void downloadNextFile();
    // Starts the file after the last one started: false when that ended
    // the queue.
    bool startNextFile();
    // Requests the file of queue entry index into a fresh file; false when
    // that ended the queue.
    bool startFileRequest(int index, CachePolicy cache);
    // Fetches the file of a download in flight once more, past caches.
    void refetchFile(int inFlight);
    // Lets go of a download in flight that ended, well or not.
    void dropInFlight(int inFlight);
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

    // src/net/queuedeltas.cpp — patches, copies and files at hand
    // Copies the installed file the task's plan names into the task's file,
    // hashing it; false (error says why) when that is not the content.
    bool reuseInstalledFile(DownloadTask &task, QString &error);
    // Starts the decoder of the patch or copy the task's plan names; false
    // (error says why) when it cannot.
    bool startDelta(ActiveDownload &download, const DownloadTask &task, QString &error);
    // The reply's bytes, into the download's decoder or its file.
    bool takeBody(ActiveDownload &download, const QByteArray &data, QString &error);
    // A patch or copy whose reply finished: true when it decoded whole;
    // otherwise the plain file was started instead (or the queue failed).
    bool deltaCompleted(int inFlight);
    // A patch or compressed copy failed (why): the plain file instead.
    void fallBackToPlain(int inFlight, const QString &why);
    // Counts a verified file by how it came.
    void countVerified(const ActiveDownload &download, const DownloadTask &task);

    // src/net/queueresume.cpp — what a failed run leaves for the next one
    // Before the queue starts: keeps only what serves toFetch of this
    // release; false (m_errorMessage says why) when the folder is unusable.
    bool prepareResume(const FileManifest &toFetch);
    // A file an earlier run verified, when it still is the task's: true
    // when it was taken (hashed again) and nothing need be fetched.
    bool takeKeptFile(const DownloadTask &task);
    // Where the task's file is written, and how much of it an earlier run
    // left to continue (0: from the start; validator gets its If-Range).
    QString resumePath(const DownloadTask &task) const;
    qint64 continuableLength(const DownloadTask &task, CachePolicy cache, QByteArray &validator) const;
    // The file the task's data goes to, continued when that can be done
    // (resumeFrom bytes, validator for If-Range); null when it cannot be made.
    std::unique_ptr<DownloadSink> openFileSink(const DownloadTask &task, CachePolicy cache, qint64 &resumeFrom,
                                               QByteArray &validator);
    // Before a plain file's first byte: a continued file must come as the
    // rest of it, and a fresh one gets its record. False when the file was
    // started over or the queue failed.
    bool checkFileAnswer(int inFlight);
    // Continuing failed (why): the whole file, once.
    void restartWhole(int inFlight, const QString &why);
    // The queue is through: the verified files move to where apply takes
    // them, and the resume folder goes. False when that failed the queue.
    bool stageResumedFiles();

protected slots:
    // src/net/downloadqueue.cpp — the file queue
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    // src/update/completion.cpp — the end of the run
    void onUpdateCompleted(bool success);
    // src/update/cancel.cpp — cancel, close and clean-up
    void onCancelUpdate();
    void onCheckCancelRequest();

protected:
    // src/update/cancel.cpp — cancel, close and clean-up
    void closeEvent(QCloseEvent *event) override;

    // src/update/completion.cpp — the end of the run
    // The update has ended, well or not: the button becomes 关闭, and the
    // main program is started later (after success, or after a failure when
    // asked to) unless the user leaves first.
    void enterEndState(bool success);
    // Starts the main program if one is due, then closes the dialog.
    void leave();

    // src/net/proxyauthentication.cpp — a proxy that wants credentials
    // A proxy answered 407. Not a slot: the dialog's slots stay those of
    // the update itself.
    void onProxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *authenticator);
    // "代理服务器需要身份验证:" + the proxy that asked (or the one configured).
    QString proxyFailureText() const;
    // Ends a check or run whose blocking download met a proxy that wants
    // credentials: m_proxy.failure shown as a failure, for the caller too.
    void failForProxy();

    // The dialog's published state.
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

    // The state of each part, by the file that owns it (see above).
    QueueState m_queue;
    CheckFindings m_check;
    ProxyPromptState m_proxy;
    RunEnd m_end;
    PendingView m_view{[this]() { showPendingView(); }};
    DragState m_drag;
    // Loaded once: decoding it in every paint cost a good part of the GUI
    // thread while files fly by.
    QPixmap m_background;
};

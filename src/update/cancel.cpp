#include "ui/widget.h"
#include "ui_widget.h"

#include "config/constants.h"
#include "fs/safefs.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

void Widget::onCancelUpdate()
{
    // Once the update has ended the button reads 关闭.
    if (m_end.ended()) {
        leave();
        return;
    }
    if (m_cancelRequested || !m_isUpdating)
        return;

    QMessageBox box(this);
    box.setWindowTitle(tr("确认取消"));
    box.setText(tr("确定要取消更新吗？未完成的更新将不会被应用。"));
    box.setIcon(QMessageBox::Question);
    QPushButton *confirm = box.addButton(tr("确认"), QMessageBox::YesRole);
    QPushButton *keepGoing = box.addButton(tr("取消"), QMessageBox::NoRole);
    box.setDefaultButton(keepGoing);
    box.exec();

    if (box.clickedButton() != confirm)
        return;
    // The queue may have ended while the box was open.
    if (m_cancelRequested || !m_isUpdating)
        return;

    // The screen shows the queue as it stood when the user confirmed.
    flushView();
    qDebug() << "用户取消更新";
    m_isUpdating = false;
    m_cancelRequested = true;
    m_statusText = kStatusCancelling;
    ui->pushButton_cancel->setEnabled(false);
    releaseCurrentDownload();
    clearDownloadQueue();
    cleanupTempFiles();
    m_errorMessage = tr("更新已取消");
    // Settles the cancel as a failed update once no reply is in flight.
    m_cancelCheckTimer->start(100);
}

void Widget::onCheckCancelRequest()
{
    if (m_currentReply || !m_queue.inFlight.empty())
        return;
    m_cancelCheckTimer->stop();
    onUpdateCompleted(false);
}

void Widget::reject()
{
    if (m_end.ended()) {
        leave();
        return;
    }
    if (m_isUpdating && !m_cancelRequested) {
        releaseCurrentDownload();
        cleanupTempFiles();
    }
    QDialog::reject();
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (m_isUpdating && !m_cancelRequested) {
        releaseCurrentDownload();
        cleanupTempFiles();
    }
    QDialog::closeEvent(event);
}

void Widget::cleanupTempFiles()
{
    for (const QString &path : qAsConst(m_tempFiles)) {
        if (entryExists(path) && !isRealDirectory(path))
            removeTree(path);
    }

    // Links inside are removed themselves; nothing they point to is touched.
    // What the resume folder holds waits for the next run of this release.
    removeFolderContents(m_appDir + kUpdateTmpDir, {kUpdateIniFile, kLockFile, kLogFile, kOldLogFile}, {kResumeName});
    qDebug() << "取消/失败后清理临时文件完成";
}

void Widget::clearDownloadQueue()
{
    if (!m_downloadQueue.isEmpty())
        m_downloadQueue.clear();
    m_queue.pendingFiles.clear();
}

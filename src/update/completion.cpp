#include "ui/widget.h"
#include "ui_widget.h"

#include "app/launcher.h"
#include "config/constants.h"
#include "config/settingsstore.h"

#include <QDebug>
#include <QTimer>

namespace {

// Long enough to read the failure before the main program takes over.
constexpr int kStartAfterFailureMs = 3000;
constexpr int kStartAfterSuccessMs = 1000;

} // namespace

void Widget::onUpdateCompleted(bool success)
{
    // What the queue last noted is shown before the end's own texts.
    flushView();
    m_isUpdating = false;
    m_cancelRequested = false;
    m_cancelCheckTimer->stop();

    if (success) {
        ui->label_update->setText(tr("更新完成!"));
        ui->progressBar_updatefile->setValue(100);
        if (!applyUpdate())
            success = false;
    }

    if (!success) {
        // Nothing may be left open when the files are deleted.
        releaseCurrentDownload();
        cleanupTempFiles();
        m_statusText = kStatusFailed;
        if (m_errorMessage.isEmpty())
            m_errorMessage = tr("未知错误");
        refreshLabels();
    }

    enterEndState(success);
}

void Widget::enterEndState(bool success)
{
    if (m_end.ended())
        return;
    m_end.phase = RunPhase::Ended;
    ui->pushButton_cancel->setText(tr("关闭"));
    ui->pushButton_cancel->setEnabled(true);

    // A program that is not there cannot be started: the dialog stays and
    // says so, and the user leaves with 关闭.
    const QString missing = missingMainProgramText(SettingsStore::instance().value(kKeyExeName), m_appDir);
    if (success) {
        qDebug() << "更新完成";
        if (!missing.isEmpty()) {
            qDebug() << "无法启动主程序:" << missing;
            m_errorMessage = missing;
            showDetailText();
            return;
        }
        m_end.phase = RunPhase::EndedThenMain;
        QTimer::singleShot(kStartAfterSuccessMs, this, &Widget::leave);
        return;
    }

    qDebug() << "更新未完成:" << statusSummary();
    // Every failure leaves the old installation in place (apply rolls back
    // before it reports); only a rollback that could not finish leaves it
    // mixed, and then nothing is started.
    if (m_end.startOnFailure && !missing.isEmpty()) {
        qDebug() << "无法启动主程序:" << missing;
    } else if (m_end.startOnFailure && m_end.installationWhole) {
        m_end.phase = RunPhase::EndedThenMain;
        QTimer::singleShot(kStartAfterFailureMs, this, &Widget::leave);
    } else if (m_end.startOnFailure) {
        qDebug() << "安装不完整，不启动主程序";
    }
}

void Widget::failBeforeCheck(const QString &reason, bool installationWhole)
{
    // Shown, the dialog must not start a run of its own.
    if (m_end.phase == RunPhase::NotStarted)
        m_end.phase = RunPhase::Running;
    m_end.installationWhole = installationWhole;
    m_statusText = kStatusFailed;
    m_errorMessage = reason;
    m_end.callerError = reason;
    refreshLabels();
    enterEndState(false);
}

void Widget::leave()
{
    if (m_end.phase == RunPhase::Left)
        return;
    const bool startMain = m_end.phase == RunPhase::EndedThenMain;
    m_end.phase = RunPhase::Left;
    if (startMain)
        startMainProgram(SettingsStore::instance().value(kKeyExeName));
    QDialog::reject();
}

QString Widget::statusSummary() const
{
    return ui->label_update->text() + QStringLiteral(": ") + m_errorMessage;
}

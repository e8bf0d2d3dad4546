#include "ui/widget.h"
#include "ui_widget.h"

#include "app/launcher.h"
#include "config/constants.h"
#include "config/settingsstore.h"

#include <QTimer>

void Widget::onUpdateCompleted(bool success)
{
    m_isUpdating = false;
    m_cancelRequested = false;
    m_cancelCheckTimer->stop();

    if (success) {
        ui->label_update->setText(tr("更新完成!"));
        ui->progressBar_updatefile->setValue(100);
        if (applyUpdate()) {
            QTimer::singleShot(1000, this, [this]() {
                startMainProgram(SettingsStore::instance().value(kKeyExeName));
                close();
            });
        } else {
            success = false;
        }
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

    ui->pushButton_cancel->setEnabled(false);
}

#include "ui/widget.h"

#include "updatetransaction.h"

#include <QDebug>

bool Widget::recoverInstallation(QString &reason, bool &installationWhole)
{
    QStringList unrestored;
    if (UpdateTransaction::recover(m_appDir, &unrestored))
        return true;
    // Nothing to put back means the backup folder was a link that stayed.
    if (unrestored.isEmpty()) {
        reason = QStringLiteral("无法移除链接:") + m_appDir + UpdateTransaction::backupDirName();
        installationWhole = true;
        return false;
    }
    qDebug() << "无法恢复的文件:" << unrestored;
    reason = QStringLiteral("无法恢复原文件:") + unrestored.first();
    installationWhole = false;
    return false;
}

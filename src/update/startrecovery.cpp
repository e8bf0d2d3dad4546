#include "ui/widget.h"

#include "updatetransaction.h"

#include <QDebug>

bool Widget::recoverInstallation(QString &reason, bool &installationWhole)
{
    QStringList unrestored;
    // Nothing left to put back means the backup folder was a link that
    // stayed (Wine cannot remove a folder link): it holds nothing of ours
    // and is never used, so the run goes on.
    if (UpdateTransaction::recover(m_appDir, &unrestored) || unrestored.isEmpty())
        return true;
    qDebug() << "无法恢复的文件:" << unrestored;
    reason = QStringLiteral("无法恢复原文件:") + unrestored.first();
    installationWhole = false;
    return false;
}

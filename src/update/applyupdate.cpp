#include "ui/widget.h"

#include "config/constants.h"
#include "updatetransaction.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

bool Widget::applyUpdate()
{
    const QString tmp = m_appDir + kUpdateTmpDir;
    if (!QDir(tmp).exists()) {
        qDebug() << "临时目录不存在:" << tmp;
        m_errorMessage = QStringLiteral("临时目录不存在:") + tmp;
        return false;
    }

    // Files first, then the manifest, then the version record: until the
    // last step succeeds the installation still claims the old version, and
    // any failure puts every replaced file back.
    struct Step
    {
        QString source;
        QString key;
    };
    QVector<Step> steps;
    for (const QString &key : qAsConst(m_verifiedFiles))
        steps.append({tmp + key.mid(1), key});
    steps.append({tmp + kMd5TmpFile, QLatin1Char('/') + kMd5File});
    steps.append({tmp + kUpdateTmpIniFile, QLatin1Char('/') + kUpdateTmpDir + kUpdateIniFile});

    UpdateTransaction transaction(m_appDir);
    bool ok = transaction.begin();
    QString failedKey = ok ? QString() : steps.first().key;
    for (const Step &step : qAsConst(steps)) {
        if (!ok)
            break;
        if (!transaction.install(step.source, step.key)) {
            ok = false;
            failedKey = step.key;
        }
    }
    if (ok && !transaction.commit()) {
        ok = false;
        failedKey = steps.last().key;
    }
    if (!ok) {
        qDebug() << "无法替换文件，回滚更新:" << failedKey;
        transaction.rollback();
        m_errorMessage = QStringLiteral("无法替换文件:") + failedKey;
        return false;
    }

    // The fetched files have all moved out; drop the folders they came in.
    const QFileInfoList entries = QDir(tmp).entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (QDir(entry.filePath()).removeRecursively())
            qDebug() << "成功删除临时子目录:" << entry.filePath();
        else
            qDebug() << "无法删除临时子目录:" << entry.filePath();
    }
    qDebug() << "临时文件处理完成，所有子目录文件已拷贝";
    return true;
}

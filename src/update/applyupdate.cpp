#include "ui/widget.h"

#include "config/constants.h"
#include "fs/safefs.h"
#include "trust/versionfile.h"
#include "updatetransaction.h"

#include <QDebug>
#include <algorithm>
#include <QDir>
#include <QFileInfo>

bool Widget::applyUpdate()
{
    const QString tmp = m_appDir + kUpdateTmpDir;
    if (!isRealDirectory(tmp)) {
        qDebug() << "临时目录不存在:" << tmp;
        m_errorMessage = QStringLiteral("临时目录不存在:") + tmp;
        return false;
    }

    // Files first, then the manifest, then the version record: until the
    // record stands the installation still claims the old version, and any
    // failure puts every replaced file back.
    struct Step
    {
        QString source;
        QString key;
    };
    // Files finish in any order when several are in flight; they are
    // installed in manifest order all the same.
    QStringList keys = m_queue.verifiedFiles;
    std::sort(keys.begin(), keys.end());
    QVector<Step> steps;
    for (const QString &key : qAsConst(keys))
        steps.append({tmp + key.mid(1), key});
    steps.append({tmp + kMd5TmpFile, QLatin1Char('/') + kMd5File});
    const QString recordSource = tmp + kUpdateTmpIniFile;

    // A link on the way would aim the installer's writes and deletes out of
    // the installation: refused before anything moves.
    for (const Step &step : qAsConst(steps)) {
        if (!firstUnsafeParent(m_appDir, step.key).isNull()) {
            qDebug() << "不安全的文件路径:" << step.key;
            m_errorMessage = QStringLiteral("不安全的文件路径:") + step.key;
            return false;
        }
    }

    const QString version = VersionFile::read(recordSource).value(kKeyVersionVersion);
    qDebug() << "开始应用更新:" << version << steps.size() << "个文件";
    UpdateTransaction transaction(m_appDir);
    bool ok = transaction.begin(version);
    QString failedKey = ok ? QString() : steps.first().key;
    for (const Step &step : qAsConst(steps)) {
        if (!ok)
            break;
        if (!transaction.install(step.source, step.key)) {
            ok = false;
            failedKey = step.key;
        }
    }
    if (ok && !transaction.commit(recordSource)) {
        ok = false;
        failedKey = UpdateTransaction::recordKey();
    }
    if (!ok) {
        qDebug() << "无法替换文件，回滚更新:" << failedKey;
        if (!transaction.rollback()) {
            // The next start's recovery finishes the job; until then the
            // installation is mixed and must not be started.
            m_end.installationWhole = false;
            qDebug() << "回滚未完成，下次启动时恢复";
        }
        m_errorMessage = QStringLiteral("无法替换文件:") + failedKey;
        return false;
    }

    // The fetched files have all moved out; drop the folders they came in.
    const QStringList names = QDir(tmp).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        if (removeTree(tmp + name))
            qDebug() << "成功删除临时子目录:" << tmp + name;
        else
            qDebug() << "无法删除临时子目录:" << tmp + name;
    }
    qDebug() << "临时文件处理完成，所有子目录文件已拷贝";
    qDebug() << "更新已应用:" << version;
    return true;
}

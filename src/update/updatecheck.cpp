#include "ui/widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "fs/safefs.h"
#include "trust/releasesignature.h"
#include "trust/versionfile.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

bool Widget::checkUpdate()
{
    m_statusText = kStatusPreparing;
    // Our own folder, never a link someone aimed elsewhere.
    ensureRealDirectory(m_appDir + kUpdateTmpDir);

    const QString tempCopy = m_appDir + kUpdateTmpDir + kUpdateTmpIniFile;
    const QString url = SettingsStore::instance().value(kKeyUrl) + kUpdateIniFile;
    m_tempFiles.append(tempCopy);

    if (!downloadFileBlocking(url, tempCopy, nullptr, TransferLimits::versionCheck())) {
        // Not offline: the proxy wants credentials the user can give.
        if (!m_proxy.failure.isEmpty()) {
            failForProxy();
            return false;
        }
        m_statusText = kStatusStopped;
        m_errorMessage = tr("下载%1失败").arg(url);
        if (!m_check.trustFailure.isEmpty()) {
            qDebug() << "证书或CA文件错误:" << m_check.trustFailure;
            m_errorMessage += QStringLiteral("：") + m_check.trustFailure;
        }
        refreshLabels();
        return false;
    }
    m_errorMessage = tr("下载%1成功").arg(url);
    refreshLabels();

    if (!parseServerVersion()) {
        refreshLabels();
        return false;
    }

    const QString localRecord = m_appDir + kUpdateTmpDir + kUpdateIniFile;
    // With a key configured only a signed release is a server version at
    // all, whether or not it differs from ours. Without one, a Manifest=
    // still binds md5.txt to this version file.
    m_check.expectedManifestSha256 = VersionFile::read(tempCopy).value(kKeyVersionManifest);
    if (SettingsStore::instance().isSet(kKeyPublicKey)) {
        SignedRelease accepted;
        QString refusal;
        if (!acceptSignedRelease(SettingsStore::instance().value(kKeyPublicKey), tempCopy, localRecord,
                                 QDateTime::currentDateTimeUtc(), accepted, refusal)) {
            qDebug() << "拒绝服务端版本:" << refusal;
            m_statusText = kStatusFailed;
            m_errorMessage = refusal;
            // The run then fetches nothing of this release.
            m_serverVersion.clear();
            m_serverFolder.clear();
            refreshLabels();
            return false;
        }
        m_check.expectedManifestSha256 = accepted.manifest;
    }
    // Read only as a regular file, opened without waiting or following a
    // link: anything else counts as no record and is replaced at commit.
    QString recordProblem;
    if (!checkRegularFile(localRecord, recordProblem)) {
        if (entryExists(localRecord))
            qDebug() << "版本记录不可用:" << localRecord << recordProblem;
        m_errorMessage = tr("本地update文件不存在，准备更新");
        refreshLabels();
        return false;
    }

    const QString localVersion = VersionFile::read(localRecord).value(kKeyVersionVersion);

    bool upToDate = false;
    if (localVersion == m_serverVersion) {
        m_errorMessage = tr("update文件版本相同，不需要更新");
        if (QFile::exists(tempCopy))
            QFile::remove(tempCopy);
        upToDate = true;
    } else {
        m_errorMessage = tr("update文件版本不同，需要更新");
    }
    refreshLabels();
    return upToDate;
}

bool Widget::parseServerVersion()
{
    const QString tempCopy = m_appDir + kUpdateTmpDir + kUpdateTmpIniFile;
    const VersionFile serverFile = VersionFile::read(tempCopy);
    m_serverFolder = serverFile.value(kKeyVersionFolder);
    m_serverVersion = serverFile.value(kKeyVersionVersion);

    if (!m_serverFolder.isEmpty() && !m_serverVersion.isEmpty()) {
        m_serverFolder += QLatin1Char('/');
        return true;
    }
    m_statusText = kStatusFailed;
    m_errorMessage = tr("服务端版本解析失败");
    return false;
}

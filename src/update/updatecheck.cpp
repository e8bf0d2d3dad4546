#include "ui/widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <memory>

bool Widget::checkUpdate()
{
    m_statusText = kStatusPreparing;

    const QString tempCopy = m_appDir + kUpdateTmpDir + kUpdateTmpIniFile;
    const QString url = SettingsStore::instance().value(kKeyUrl) + kUpdateIniFile;
    m_tempFiles.append(tempCopy);

    if (!downloadFileBlocking(url, tempCopy, nullptr, TransferLimits::versionCheck())) {
        m_statusText = kStatusStopped;
        m_errorMessage = tr("下载%1失败").arg(url);
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
    if (!QFileInfo(localRecord).isFile()) {
        m_errorMessage = tr("本地update文件不存在，准备更新");
        refreshLabels();
        return false;
    }

    const auto record = std::make_unique<QSettings>(localRecord, QSettings::IniFormat);
    const QString localVersion = record->value(kKeyVersionVersion, QVariant()).toString();

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
    const auto serverFile = std::make_unique<QSettings>(tempCopy, QSettings::IniFormat);
    m_serverFolder = serverFile->value(kKeyVersionFolder, QVariant()).toString();
    m_serverVersion = serverFile->value(kKeyVersionVersion, QVariant()).toString();

    if (!m_serverFolder.isEmpty() && !m_serverVersion.isEmpty()) {
        m_serverFolder += QLatin1Char('/');
        return true;
    }
    m_statusText = kStatusFailed;
    m_errorMessage = tr("服务端版本解析失败");
    return false;
}

#include "ui/widget.h"
#include "ui_widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "manifest/pathsafety.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

namespace {

bool isMd5Hex(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9A-Fa-f]{32}\\z"));
    return pattern.match(text).hasMatch();
}

} // namespace

void Widget::showEvent(QShowEvent *event)
{
    // Qt sends the show event before the window reaches the screen; queue
    // the run so the dialog paints while the manifest downloads. Later show
    // events (the dialog hidden and shown again) start nothing.
    if (!m_runStarted) {
        m_runStarted = true;
        QTimer::singleShot(0, this, &Widget::runUpdate);
    }
    QDialog::showEvent(event);
}

void Widget::runUpdate()
{
    // Without a server version the check failed and its texts say why; a
    // manifest fetched from a guessed folder could install a release that
    // no version record describes.
    if (m_serverVersion.isEmpty() || !m_serverFolder.endsWith(QLatin1Char('/')))
        return;

    m_statusText = kStatusPreparing;

    const QString serverManifestPath = m_appDir + kUpdateTmpDir + kMd5TmpFile;
    const QString manifestUrl = SettingsStore::instance().value(kKeyUrl) + m_serverFolder + kMd5File;
    m_tempFiles.append(serverManifestPath);

    if (!downloadFileBlocking(manifestUrl, serverManifestPath, ui->progressBar_updatefile, TransferLimits::manifest())) {
        m_statusText = kStatusFailed;
        m_errorMessage = tr("下载%1失败").arg(kMd5File, 0, QLatin1Char(' '));
        refreshLabels();
        return;
    }

    m_errorMessage = tr("MD5比对");
    refreshLabels();

    const QString localManifestPath = m_appDir + kMd5File;
    if (!QFileInfo(localManifestPath).isFile())
        generateManifest(m_appDir);

    const FileManifest local = readManifest(localManifestPath);
    const FileManifest server = readManifest(serverManifestPath);

    // Every path is checked before anything is fetched: one bad entry means
    // the release cannot be installed safely anywhere.
    const QString unsafeKey = findUnsafeManifestKey(server);
    if (!unsafeKey.isNull()) {
        m_errorMessage = QStringLiteral("不安全的文件路径:") + unsafeKey;
        onUpdateCompleted(false);
        return;
    }

    const FileManifest toFetch = compareManifests(local, server);
    for (auto it = toFetch.cbegin(); it != toFetch.cend(); ++it) {
        if (!isMd5Hex(it.value())) {
            m_errorMessage = QStringLiteral("文件校验失败:") + it.key();
            onUpdateCompleted(false);
            return;
        }
    }

    ui->pushButton_cancel->setEnabled(true);
    prepareTempDirForQueue();
    startDownloadQueue(toFetch);
}

void Widget::prepareTempDirForQueue()
{
    // Leftovers of an earlier, killed run must never be installed: keep only
    // the version record and this run's two control files.
    const QString tmp = m_appDir + kUpdateTmpDir;
    const QStringList keep = {kUpdateIniFile, kUpdateTmpIniFile, kMd5TmpFile};
    const QFileInfoList entries = QDir(tmp).entryInfoList(
        QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (keep.contains(entry.fileName()) && entry.isFile() && !entry.isSymLink())
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

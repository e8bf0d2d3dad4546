#include "ui/widget.h"
#include "ui_widget.h"

#include "config/constants.h"
#include "config/settingsstore.h"
#include "delta/deltaplan.h"
#include "manifest/manifestformat.h"
#include "manifest/pathsafety.h"
#include "manifest/releasenames.h"
#include "fs/safefs.h"
#include "trust/releasesignature.h"
#include "trust/versionfile.h"
#include "ui/screenfit.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

void Widget::showEvent(QShowEvent *event)
{
    // Qt sends the show event before the window reaches the screen; queue
    // the run so the dialog paints while the manifest downloads. Later show
    // events (the dialog hidden and shown again) start nothing.
    if (m_end.phase == RunPhase::NotStarted) {
        m_end.phase = RunPhase::Running;
        // Centred on the screen the user looks at; QDialog's own placement
        // guesses a frame this window does not have.
        QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (screen)
            move(centredTopLeft(screen->availableGeometry(), frameGeometry().size()));
        QTimer::singleShot(0, this, &Widget::runUpdate);
    }
    QDialog::showEvent(event);
}

void Widget::runUpdate()
{
    // Without a server version the check failed and its texts say why; a
    // manifest fetched from a guessed folder could install a release that
    // no version record describes.
    if (m_serverVersion.isEmpty() || !m_serverFolder.endsWith(QLatin1Char('/'))) {
        enterEndState(false);
        return;
    }

    m_statusText = kStatusPreparing;
    ensureRealDirectory(m_appDir + kUpdateTmpDir);

    const QString serverManifestPath = m_appDir + kUpdateTmpDir + kMd5TmpFile;
    m_tempFiles.append(serverManifestPath);
    bool lengthStated = false;
    if (!fetchServerManifest(serverManifestPath, lengthStated))
        return;

    // update.ini names the manifest's bytes (signed or not), so no other
    // manifest's MD5s may choose what is fetched; without that name only a
    // body whose end the server stated is known to be whole.
    const QString bindingProblem = manifestBindingProblem(serverManifestPath, m_check.expectedManifestSha256,
                                                          SettingsStore::instance().isSet(kKeyPublicKey), lengthStated);
    if (!bindingProblem.isNull()) {
        m_errorMessage = bindingProblem;
        qDebug() << "拒绝服务端清单:" << m_errorMessage;
        onUpdateCompleted(false);
        return;
    }

    m_errorMessage = tr("MD5比对");
    refreshLabels();

    FileManifest toFetch;
    if (!selectFilesToFetch(serverManifestPath, toFetch)) {
        onUpdateCompleted(false);
        return;
    }

    m_queue.deltas = DeltaSources();
    if (!toFetch.isEmpty())
        loadDeltaSources();

    ui->pushButton_cancel->setEnabled(true);
    prepareTempDirForQueue();
    if (!prepareResume(toFetch)) {
        onUpdateCompleted(false);
        return;
    }
    startDownloadQueue(std::move(toFetch));
}

bool Widget::fetchServerManifest(const QString &path, bool &lengthStated)
{
    const QString manifestUrl = SettingsStore::instance().value(kKeyUrl) + m_serverFolder + kMd5File;
    ui->progressBar_updatefile->setValue(0);
    if (downloadFileBlocking(manifestUrl, path, ui->progressBar_updatefile, TransferLimits::manifest(),
                             &lengthStated))
        return true;
    if (!m_proxy.failure.isEmpty()) {
        failForProxy();
        enterEndState(false);
        return false;
    }
    m_statusText = kStatusFailed;
    m_errorMessage = tr("下载%1失败").arg(kMd5File, 0, QLatin1Char(' '));
    if (!m_check.trustFailure.isEmpty())
        m_errorMessage += QStringLiteral("：") + m_check.trustFailure;
    refreshLabels();
    enterEndState(false);
    return false;
}

bool Widget::selectFilesToFetch(const QString &path, FileManifest &toFetch)
{
    // The server's manifest is checked whole before anything else: apply
    // installs this very file as the local md5.txt, so a truncated or
    // foreign file (an error page served with 200) would stay for good.
    QString manifestError;
    if (!readServerManifest(path, toFetch, manifestError)) {
        m_errorMessage = manifestError;
        return false;
    }

    // A manifest generated from an installed copy names our own state
    // files; they belong to that installation, not to the release.
    for (const QString &key : takeUpdaterStateKeys(toFetch))
        qDebug() << "跳过安装状态文件:" << key;

    // Every path is checked before anything is fetched: one bad entry means
    // the release cannot be installed safely anywhere.
    const QString unsafeKey = findUnsafeManifestKey(toFetch);
    if (!unsafeKey.isNull()) {
        m_errorMessage = QStringLiteral("不安全的文件路径:") + unsafeKey;
        return false;
    }

    const QString localManifestPath = m_appDir + kMd5File;
    if (!QFileInfo(localManifestPath).isFile())
        generateManifest(m_appDir);
    // The local manifest is streamed past the server's, never held beside
    // it: with a large release the two are most of the memory this run
    // needs.
    dropUnchangedEntries(toFetch, localManifestPath);

    // A folder link on the way would aim the install out of the
    // installation; known before anything is fetched.
    for (auto it = toFetch.cbegin(); it != toFetch.cend(); ++it) {
        if (!firstUnsafeParent(m_appDir, it.key()).isNull()) {
            qDebug() << "不安全的文件路径:" << it.key();
            m_errorMessage = QStringLiteral("不安全的文件路径:") + it.key();
            return false;
        }
    }
    return true;
}

void Widget::prepareTempDirForQueue()
{
    // Leftovers of an earlier, killed run must never be installed: keep only
    // the version record, this run's two control files and the resume
    // folder, whose files are checked before use.
    removeFolderContents(m_appDir + kUpdateTmpDir, {kUpdateIniFile, kUpdateTmpIniFile, kMd5TmpFile, kLockFile,
                                                    kLogFile, kOldLogFile}, {kResumeName});
}

void Widget::loadDeltaSources()
{
    SettingsStore &settings = SettingsStore::instance();
    const QString setting = settings.isSet(kKeyDeltas) ? settings.value(kKeyDeltas).trimmed() : QString();
    if (setting.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
        qDebug() << "增量更新已关闭（Deltas=false）";
        return;
    }
    const QString serverIni = m_appDir + kUpdateTmpDir + kUpdateTmpIniFile;
    const QString indexName = VersionFile::read(serverIni).value(kDeltaIndexKey);
    if (indexName.isEmpty())
        return;
    DeltaSources &sources = m_queue.deltas;
    sources.active = true;
    setInstalledFiles(sources, readManifest(m_appDir + kMd5File));
    if (!isUsableIndexName(indexName)) {
        qDebug() << "增量索引名不可用，不使用增量:" << indexName;
        return;
    }

    // Same limits as md5.txt; whatever goes wrong only means whole files.
    const QString path = m_appDir + kUpdateTmpDir + QStringLiteral("deltasTmp.txt");
    m_tempFiles.append(path);
    const QString url = settings.value(kKeyUrl) + m_serverFolder + indexName;
    const QString shown = m_errorMessage;
    ui->progressBar_updatefile->setValue(0);
    const bool fetched = downloadFileBlocking(url, path, ui->progressBar_updatefile, TransferLimits::manifest());
    const QString failure = m_errorMessage;
    m_errorMessage = shown;
    m_check.trustFailure.clear();
    m_proxy.failure.clear();
    if (!fetched) {
        qDebug() << "增量索引下载失败，不使用增量:" << failure;
        QFile::remove(path);
        return;
    }
    QFile file(path);
    if (file.size() > kMaxDeltaIndexBytes || !file.open(QIODevice::ReadOnly)) {
        qDebug() << "增量索引过大或无法读取，不使用增量:" << path;
    } else {
        sources.index = DeltaIndex::parse(file.readAll());
        qDebug() << "增量索引条目数:" << sources.index.size();
    }
    file.close();
    QFile::remove(path);
}

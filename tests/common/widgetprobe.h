#pragma once

#include "ui/widget.h"

#include <QString>
#include <QStringList>

// The dialog with its state opened up for tests.
class WidgetProbe : public Widget
{
public:
    using Widget::applyUpdate;
    using Widget::cleanupTempFiles;
    using Widget::downloadNextFile;
    using Widget::m_appDir;
    using Widget::m_cancelCheckTimer;
    using Widget::m_cancelRequested;
    using Widget::m_currentIndex;
    using Widget::m_currentReply;
    using Widget::m_downloadQueue;
    using Widget::m_errorMessage;
    using Widget::m_isUpdating;
    using Widget::m_serverFolder;
    using Widget::m_serverVersion;
    using Widget::setStartOnFailure;
    using Widget::m_statusText;
    using Widget::m_tempFiles;
    using Widget::m_totalFiles;
    using Widget::onCancelUpdate;
    using Widget::onCheckCancelRequest;
    using Widget::onDownloadError;
    using Widget::onDownloadFinished;
    using Widget::onDownloadProgress;
    using Widget::onUpdateCompleted;
    using Widget::parseServerVersion;
    using Widget::refreshLabels;
    // Parts of the state that live in the dialog's smaller structs, under
    // the names tests know them by.
    QStringList &m_verifiedFiles = m_queue.verifiedFiles;
    QString &m_expectedManifestSha256 = m_check.expectedManifestSha256;

    QString statusLabel() const;
    QString detailLabel() const;
    int overallValue() const;
    int overallMaximum() const;
    int fileValue() const;
    bool cancelEnabled() const;
    QString buttonText() const;
};

#pragma once

#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

// Time without any data moving after which a transfer is abandoned.
// The product always uses 120000 ms; tests shorten it to exercise stalls.
int transferTimeoutMs();
void setTransferTimeoutMs(int milliseconds);
// "下载超时（120秒）：" for the time-out in force.
QString transferTimeoutText();

// Largest control file (update.ini, md5.txt) the updater accepts.
constexpr qint64 kMaxControlFileSize = 64 * 1024 * 1024;

// Bytes a reply may hold before it stops reading from the socket; the
// updater writes them to disk as they come.
constexpr qint64 kReplyReadBufferSize = 1024 * 1024;

// A GET request for url (parsed tolerantly) with the transfer time-out and a
// redirect policy that follows redirects but never from https to http.
QNetworkRequest makeDownloadRequest(const QString &url);

// base + folder + key, with each component of key percent-encoded so that
// names holding '#', '%', '?' or blanks fetch exactly that file.
QString composeFileUrl(const QString &base, const QString &folder, const QString &key);

// The per-file bar's value for a progress signal, or -1 to leave the bar
// as it is: an unknown or empty length, or an HTTP error page (its bytes
// are not the file's).
int progressPercent(qint64 bytesReceived, qint64 bytesTotal, int httpStatus);

// Logs a request that failed: the URL, the HTTP status (0 when none came),
// Qt's error text and, when not empty, the text the user was shown.
void logFailedRequest(const QString &url, const QNetworkReply *reply, const QString &shown);

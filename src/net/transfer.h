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
// The same form for any time-out: "下载超时（15秒）：".
QString timeoutText(int milliseconds);

// Null when requests may go out; otherwise why none can: the CaFile
// (trustSetupError()) or else the Proxy setting (proxySetupError()).
QString requestSetupError();

// Why a control file's download failed, as the user reads it.
enum class DownloadFailure {
    Error,       // "下载错误：<reason>（URL：<url>）"
    TooLarge,    // larger than kMaxControlFileSize
    Incomplete,  // shorter than its stated length
    TimedOut,    // timeoutMs passed: without data, or in all
    TooSlow,     // below the minimum average rate
    Interrupted, // the event loop ended before the transfer did
};
// The text of failure for url; reason is Qt's or our own words for Error,
// timeoutMs the time-out that expired for TimedOut.
QString downloadFailureText(DownloadFailure failure, const QString &url, const QString &reason = QString(),
                            int timeoutMs = 0);

// How long the whole update.ini transfer may take; a server that keeps
// sending a byte now and then never trips the no-data time-out. The product
// uses 15000 ms; tests shorten it.
int versionCheckDeadlineMs();
void setVersionCheckDeadlineMs(int milliseconds);

// The manifest fails when it averages below the rate over the window. The
// product uses 60000 ms and 1024 B/s; tests shorten the window.
int slowTransferWindowMs();
void setSlowTransferWindowMs(int milliseconds);
qint64 slowTransferMinBytesPerSecond();
void setSlowTransferMinBytesPerSecond(qint64 bytesPerSecond);

// Limits a blocking download adds to the no-data time-out; zero is none.
struct TransferLimits
{
    int deadlineMs = 0;
    int slowWindowMs = 0;
    qint64 minBytesPerSecond = 0;

    // The version check: an overall deadline.
    static TransferLimits versionCheck();
    // The manifest: a minimum average rate.
    static TransferLimits manifest();
};

// Largest control file (update.ini, md5.txt) the updater accepts.
constexpr qint64 kMaxControlFileSize = 64 * 1024 * 1024;

// Bytes a reply may hold before it stops reading from the socket; the
// updater writes them to disk as they come.
constexpr qint64 kReplyReadBufferSize = 1024 * 1024;

class QNetworkReply;
// True when reply ended without error but received fewer bytes than its
// Content-Length announced: a connection reset after a pause in the body
// now and then ends a reply as if it were complete. (Bodies are never
// inflated, so the length counts the bytes we get, encoded or not.)
bool endedShort(const QNetworkReply *reply, qint64 received);

// True when the server said where reply's body ends: HTTP/2 frames it, or
// an HTTP/1.x reply came with a Content-Length or chunked. A body that just
// stops when the connection closes cannot be told from a cut one. (Qt drops
// the Content-Length of a body it inflates, and does not check it.)
bool bodyLengthStated(const QNetworkReply *reply);

// The Content-Encoding of reply when it is not the body as stored ("gzip",
// "br", ...), else empty. A server that compresses although we asked for
// identity sent bytes that are not the file.
QByteArray contentEncoding(const QNetworkReply *reply);

// Whether a request may be answered from a cache on the way.
enum class CachePolicy {
    Cacheable, // files: their MD5 is checked, a cached copy is fine
    Bypass,    // update.ini, md5.txt and a file fetched again after a wrong MD5
};

// "<ProductName> updater/<version>", the User-Agent of every request, so
// server and proxy administrators can tell our traffic apart.
QByteArray userAgent();

// A GET request for url (parsed tolerantly) with the transfer time-out and a
// redirect policy that follows redirects but never from https to http, and
// the run's trust anchors (tlstrust.h). It asks for the body as stored
// (Accept-Encoding: identity): Qt then inflates nothing, so a compressed
// body cannot grow in memory past what the wire brought.
QNetworkRequest makeDownloadRequest(const QString &url, CachePolicy cache = CachePolicy::Cacheable);

// base + folder (ending in '/') + key without its leading '/', each
// component of key percent-encoded so that names holding '#', '%', '?' or
// blanks fetch exactly that file: "2.0/" + "/sub/a.dll" is "2.0/sub/a.dll".
QString composeFileUrl(const QString &base, const QString &folder, const QString &key);

// The per-file bar's value for a progress signal, or -1 to leave the bar
// as it is: an unknown or empty length, or an HTTP error page (its bytes
// are not the file's).
int progressPercent(qint64 bytesReceived, qint64 bytesTotal, int httpStatus);

// The per-file bar's value from the bytes of reply written so far, or -1
// as progressPercent() gives it. Unlike Qt's progress signal, which comes
// at most every 100 ms, this sees the last bytes before a stall.
// before is what the file already held (a continued download).
int writtenPercent(const QNetworkReply *reply, qint64 written, qint64 before = 0);

// Files in flight at once for a MaxDownloads text: absent or empty is 1
// (one after another), numbers are held to 1..16, anything else is 1.
constexpr int kMaxDownloadsLimit = 16;
int maxDownloadsFromSetting(const QString &text);
// Qt speaks HTTP/1.1 to one host over at most this many connections.
constexpr int kHttp1ConnectionsPerHost = 6;

// Logs a request that failed: the URL, the HTTP status (0 when none came),
// Qt's error text and, when not empty, the text the user was shown.
void logFailedRequest(const QString &url, const QNetworkReply *reply, const QString &shown);

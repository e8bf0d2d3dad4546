#pragma once

#include <QList>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QString>

// Which certificate authorities a run trusts. Without [Update] CaFile the
// system's (Qt's default configuration); with it, only the certificates in
// that PEM file, and when it cannot be used, nothing at all: every request
// fails with trustSetupError() instead of falling back to the system store.

// path as written in system.cfg, relative to appDir (which ends in "/")
// unless absolute.
QString resolveCaFilePath(const QString &appDir, const QString &path);

// Reads every PEM certificate of path. False, with a text naming the file,
// when it is missing, unreadable or holds no certificate.
bool loadCaCertificates(const QString &path, QList<QSslCertificate> &certificates, QString &error);

// Null when requests may go out; otherwise why none can (the CaFile named
// in system.cfg cannot be used). Read once per CaFile value.
QString trustSetupError();

// Gives request the run's trust anchors; leaves it alone without CaFile.
void applyTrust(QNetworkRequest &request);

class QNetworkReply;
// Qt's reply only says "SSL handshake failed"; the certificate errors that
// caused it are noted on the reply as they come, and read back here. Never
// ignored: the handshake fails whatever the errors are.
void noteCertificateErrors(QNetworkReply *reply);
// "SSL handshake failed: <Qt's text of each certificate error>", or the
// reply's own error text when none was noted.
QString trustFailureText(const QNetworkReply *reply);

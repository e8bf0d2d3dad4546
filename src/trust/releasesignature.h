#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What a signed update.ini carries in [Version], and how a client decides
// whether to believe it. No window needed: the check and the run call these.

struct SignedRelease
{
    QString folder;
    QString version;
    QString manifest;  // SHA-256 of md5.txt, lower-case hex
    QString published; // UTC, "2026-12-08T21:30:00Z"
    QString signature; // base64 Ed25519 signature of releaseMessage()
};

// The exact bytes the publisher signs.
QByteArray releaseMessage(const QString &folder, const QString &version, const QString &manifest,
                          const QString &published);

// The [Version] values of an update.ini, as Qt's INI reader gives them.
SignedRelease readSignedRelease(const QString &iniPath);

// "yyyy-MM-ddTHH:mm:ssZ" only; an invalid QDateTime otherwise.
QDateTime parsePublishedTime(const QString &text);
QString formatPublishedTime(const QDateTime &time);

// PublicKey= of system.cfg: base64 of exactly 32 bytes.
bool decodePublicKey(const QString &text, QByteArray &rawKey, QString &error);

// True when release.signature is rawKey's signature over its four values
// and they are well formed; else error says what is wrong.
bool verifyRelease(const QByteArray &rawKey, const SignedRelease &release, QString &error);

// The whole check of a fetched update.ini against the configured key and
// the installed version's record (which may be missing or unsigned): the
// signature, then the time against the recorded Published. error is the
// text the user sees ("签名无效:…", "发布时间早于已安装版本:…").
bool acceptSignedRelease(const QString &publicKeyText, const QString &serverIniPath,
                         const QString &recordPath, SignedRelease &accepted, QString &error);

// SHA-256 of bytes as lower-case hex.
QString sha256Hex(const QByteArray &bytes);
// update.ini as a signed publish writes it.
QByteArray signedVersionFileBytes(const SignedRelease &release);

// SHA-256 of a file's bytes as lower-case hex; empty when it cannot be read.
QString fileSha256Hex(const QString &path);

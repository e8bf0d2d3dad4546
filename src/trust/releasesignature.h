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

class VersionFile;
// The [Version] values of an update.ini (versionfile.h).
SignedRelease signedReleaseFrom(const VersionFile &file);
SignedRelease readSignedRelease(const QString &iniPath);

// "yyyy-MM-ddTHH:mm:ssZ" only; an invalid QDateTime otherwise.
QDateTime parsePublishedTime(const QString &text);
QString formatPublishedTime(const QDateTime &time);

// PublicKey= of system.cfg: base64 of exactly 32 bytes.
bool decodePublicKey(const QString &text, QByteArray &rawKey, QString &error);

// True when release.signature is rawKey's signature over its four values
// and they are well formed; else error says what is wrong.
bool verifyRelease(const QByteArray &rawKey, const SignedRelease &release, QString &error);

// How far a signed time may lie ahead of the client's clock: clocks drift,
// but a release from next year would hold back every later one until then.
constexpr qint64 kMaxPublishedAheadSecs = 24 * 60 * 60;

// The whole check of a fetched update.ini against the configured key and
// the installed version's record (which may be missing or unsigned): the
// signature, the time against now (the client's clock, UTC), then against
// the recorded Published. error is the text the user sees ("签名无效:…",
// "发布时间在未来:…", "发布时间早于已安装版本:…").
bool acceptSignedRelease(const QString &publicKeyText, const QString &serverIniPath,
                         const QString &recordPath, const QDateTime &now, SignedRelease &accepted,
                         QString &error);

// Why the md5.txt fetched to manifestPath cannot be taken as the one its
// update.ini names: expectedSha256 is that Manifest= (empty when there is
// none), signedRelease says whether a signature vouched for it. Without a
// Manifest= only a body whose end the server stated counts. The text the
// user sees ("清单校验失败:…"), or a null string when the manifest belongs.
QString manifestBindingProblem(const QString &manifestPath, const QString &expectedSha256, bool signedRelease,
                               bool lengthStated);

// SHA-256 of bytes as lower-case hex.
QString sha256Hex(const QByteArray &bytes);
// update.ini as a signed publish writes it.
QByteArray signedVersionFileBytes(const SignedRelease &release);

// SHA-256 of a file's bytes as lower-case hex; empty when it cannot be read.
QString fileSha256Hex(const QString &path);

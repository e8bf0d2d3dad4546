#pragma once

#include <QString>

// Names shared by every part of the updater: file and directory names,
// INI keys and the status texts of the dialog's upper label.

inline const QString kUpdateTmpDir = QStringLiteral("UpdateTmp/");
// The same folder as a name, as the manifest's reserved names compare it.
inline const QString kUpdateTmpName = QStringLiteral("UpdateTmp");
// The transaction's journal and backups.
inline const QString kUpdateBackupDir = QStringLiteral("UpdateBackup");
inline const QString kUpdateIniFile = QStringLiteral("update.ini");
inline const QString kUpdateTmpIniFile = QStringLiteral("updateTmp.ini");
inline const QString kMd5File = QStringLiteral("md5.txt");
inline const QString kMd5TmpFile = QStringLiteral("md5Tmp.txt");
inline const QString kSystemCfgFile = QStringLiteral("/system.cfg");
inline const QString kUpdateGroup = QStringLiteral("Update/");
inline const QString kKeyUrl = QStringLiteral("URL");
inline const QString kKeyExeName = QStringLiteral("ExeName");
// Optional: PEM file of the only CAs trusted for every request of a run.
inline const QString kKeyCaFile = QStringLiteral("CaFile");
// Optional: base64 of the Ed25519 key releases must be signed with.
inline const QString kKeyPublicKey = QStringLiteral("PublicKey");
// Optional: "true" starts the main program after a failed check or update.
inline const QString kKeyStartOnFailure = QStringLiteral("StartOnFailure");
// Optional: how many update files are fetched at once (1 to 16; absent is 1).
inline const QString kKeyMaxDownloads = QStringLiteral("MaxDownloads");
// Optional: seconds between the updater's exit and the main program's
// start (0 to 10; absent is 2).
inline const QString kKeyStartDelay = QStringLiteral("StartDelay");
// Optional: "http://[user:password@]host:port" or "none"; absent is the
// system's proxy.
inline const QString kKeyProxy = QStringLiteral("Proxy");
// Optional: "false" fetches every file whole and reuses no installed copy;
// absent, a release that publishes deltas is fetched through them.
inline const QString kKeyDeltas = QStringLiteral("Deltas");
inline const QString kKeyVersionFolder = QStringLiteral("Version/Folder");
inline const QString kKeyVersionVersion = QStringLiteral("Version/Version");
// Entries of a signed update.ini; the record keeps Published.
inline const QString kKeyVersionManifest = QStringLiteral("Version/Manifest");
inline const QString kKeyVersionPublished = QStringLiteral("Version/Published");
inline const QString kKeyVersionSignature = QStringLiteral("Version/Signature");
inline const QString kStatusPreparing = QStringLiteral("准备开始更新");
inline const QString kStatusUpdating = QStringLiteral("正在更新");
inline const QString kStatusFailed = QStringLiteral("更新失败");
inline const QString kStatusStopped = QStringLiteral("停止更新");
inline const QString kStatusCancelling = QStringLiteral("正在取消更新");

// Held inside UpdateTmp/ for a whole run: one updater per installation,
// however its folder is spelled. Clean-ups leave it alone.
inline const QString kLockFile = QStringLiteral("updater.lock");

// The support log inside UpdateTmp/ and its one older generation. Clean-ups
// leave both alone.
inline const QString kLogFile = QStringLiteral("updater.log");
inline const QString kOldLogFile = QStringLiteral("updater.log.1");

// Partial downloads inside UpdateTmp/ that a later run continues.
inline const QString kResumeName = QStringLiteral("resume");

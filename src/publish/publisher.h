#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// Publishing a release: SOURCE_DIR (a built installation) becomes
// SERVER_ROOT/<folder>/ with its md5.txt, and SERVER_ROOT/update.ini names it.
// Everything is checked before the first write; a publish either completes or
// leaves SERVER_ROOT as it was.

struct PublishRequest
{
    QString version;     // Version= of update.ini, compared by clients as text
    QString folder;      // Folder= of update.ini, the folder below serverRoot
    QString sourceDir;
    QString serverRoot;
    bool includeConfig = false; // publish the top-level system.cfg as well
    bool force = false;         // replace an existing folder whose contents differ
    QString signKeyFile;        // Ed25519 private key (PEM): update.ini is signed
    QString published;          // Published= to sign ("2026-12-08T21:30:00Z"); empty: now
    bool hasPassphrase = false; // the key is decrypted with signKeyPassphrase
    QByteArray signKeyPassphrase;
    bool allowUnsigned = false; // an unsigned update.ini may replace a signed one
    int deltas = 0;             // patches from this many earlier releases, and compressed copies; 0: none
};

enum class PublishPhase { Hashing, Comparing, Copying };

struct PublishProgress
{
    PublishPhase phase = PublishPhase::Hashing;
    int doneFiles = 0;
    int totalFiles = 0;
    qint64 doneBytes = 0;
    qint64 totalBytes = 0;
};

using ProgressCallback = std::function<void(const PublishProgress &)>;

struct PublishResult
{
    enum class Change {
        None,        // the same release was already current: nothing written
        VersionFile, // the folder was already there: only update.ini written
        Published    // folder, md5.txt and update.ini written
    };

    bool ok = false;
    QString error;              // one line, set when !ok
    Change change = Change::None;
    bool replacedFolder = false; // an existing, different folder was replaced
    QString folderPath;         // SERVER_ROOT/<folder>
    int files = 0;
    qint64 bytes = 0;
    int hiddenEntries = 0;      // hidden entries the walk leaves out
    int specialEntries = 0;     // broken links, sockets, devices: also left out
    QStringList leftOut;        // installation-only top-level entries left out
};

// keygen: writes a new signing key to keyFile (never over an existing
// file) and gives the client's line "PublicKey=<base64>".
bool generateKeyFile(const QString &keyFile, QString &publicKeyLine, QString &error);

PublishResult publish(const PublishRequest &request,
                      const ProgressCallback &progress = ProgressCallback());

// The closing line printed after a successful publish.
QString summaryLine(const PublishRequest &request, const PublishResult &result,
                    qint64 elapsedMs);

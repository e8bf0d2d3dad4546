#include "deltas.h"
#include "doctor.h"
#include "publisher.h"
#include "rollback.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void printLine(FILE *stream, const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int usageError(const QString &message)
{
    printLine(stderr, QStringLiteral("updater-publish: %1 (see --help)").arg(message));
    return kExitUsage;
}

// A bar on stderr, drawn only on a terminal and only for trees large enough
// to take a while.
class TerminalProgress
{
public:
    void update(const PublishProgress &progress)
    {
        if (!m_decided) {
            m_decided = true;
            m_enabled = isatty(fileno(stderr))
                && (progress.totalFiles >= kLargeFileCount || progress.totalBytes >= kLargeByteCount);
        }
        if (!m_enabled)
            return;
        const bool last = progress.doneFiles == progress.totalFiles;
        if (progress.phase == m_phase && !last && m_sinceDraw.isValid() && m_sinceDraw.elapsed() < 100)
            return;
        m_phase = progress.phase;
        m_sinceDraw.start();
        draw(progress);
    }

    void finish()
    {
        if (m_width > 0)
            std::fprintf(stderr, "\r%*s\r", m_width, "");
        std::fflush(stderr);
        m_width = 0;
    }

private:
    static constexpr int kLargeFileCount = 1000;
    static constexpr qint64 kLargeByteCount = 64 * 1024 * 1024;
    static constexpr int kBarWidth = 30;

    void draw(const PublishProgress &p)
    {
        const double fraction = p.totalBytes > 0 ? double(p.doneBytes) / double(p.totalBytes)
            : p.totalFiles > 0                   ? double(p.doneFiles) / double(p.totalFiles)
                                                 : 1.0;
        const int filled = qBound(0, int(fraction * kBarWidth), kBarWidth);
        const char *label = p.phase == PublishPhase::Hashing ? "hashing"
            : p.phase == PublishPhase::Comparing              ? "comparing"
                                                               : "copying";
        const QString line = QStringLiteral("%1 [%2%3] %4%  %5/%6 files  %7/%8 MiB")
                                 .arg(QLatin1String(label), -9)
                                 .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('.')))
                                 .arg(int(fraction * 100), 3)
                                 .arg(p.doneFiles)
                                 .arg(p.totalFiles)
                                 .arg(double(p.doneBytes) / (1024 * 1024), 0, 'f', 1)
                                 .arg(double(p.totalBytes) / (1024 * 1024), 0, 'f', 1);
        std::fprintf(stderr, "\r%-*s", m_width, line.toLocal8Bit().constData());
        std::fflush(stderr);
        m_width = qMax(m_width, line.size());
    }

    bool m_decided = false;
    bool m_enabled = false;
    PublishPhase m_phase = PublishPhase::Hashing;
    QElapsedTimer m_sinceDraw;
    int m_width = 0;
};

// "keygen KEYFILE": a command of its own, without the publish options.
int runKeygen(const QStringList &arguments)
{
    if (arguments.size() != 3)
        return usageError(QStringLiteral("keygen takes exactly one argument, KEYFILE"));
    QString publicKeyLine;
    QString error;
    if (!generateKeyFile(arguments.at(2), publicKeyLine, error)) {
        printLine(stderr, QStringLiteral("updater-publish: %1").arg(error));
        return kExitFailed;
    }
    printLine(stdout, publicKeyLine);
    return 0;
}

QCommandLineOption passEnvOption()
{
    return QCommandLineOption(QStringLiteral("sign-key-pass-env"),
                              QStringLiteral("Read the passphrase of an encrypted --sign-key from environment "
                                             "variable VAR."),
                              QStringLiteral("VAR"));
}

QCommandLineOption unsignedOption()
{
    return QCommandLineOption(QStringLiteral("unsigned"),
                              QStringLiteral("Allow an unsigned update.ini to replace a signed one (clients with "
                                             "PublicKey= will refuse it)."));
}

// The passphrase --sign-key-pass-env names; 0 or a usage error's code.
int readPassphrase(const QCommandLineParser &parser, bool &has, QByteArray &passphrase)
{
    has = parser.isSet(QStringLiteral("sign-key-pass-env"));
    if (!has)
        return 0;
    const QString name = parser.value(QStringLiteral("sign-key-pass-env"));
    if (!parser.isSet(QStringLiteral("sign-key")))
        return usageError(QStringLiteral("--sign-key-pass-env needs --sign-key"));
    if (name.isEmpty() || !qEnvironmentVariableIsSet(name.toLocal8Bit().constData()))
        return usageError(QStringLiteral("environment variable %1 named by --sign-key-pass-env is not set").arg(name));
    passphrase = qgetenv(name.toLocal8Bit().constData());
    return 0;
}

// "rollback VERSION SERVER_ROOT": names an earlier version again.
int runRollback(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption folder(QStringLiteral("folder"), QStringLiteral("Its folder; default VERSION."),
                                    QStringLiteral("NAME"));
    const QCommandLineOption key(QStringLiteral("sign-key"), QStringLiteral("Sign with this key."),
                                 QStringLiteral("KEYFILE"));
    parser.addOptions({folder, key, passEnvOption(), unsignedOption()});
    QStringList rest = arguments;
    rest.removeAt(1);
    if (!parser.parse(rest))
        return usageError(parser.errorText());
    if (parser.positionalArguments().size() != 2)
        return usageError(QStringLiteral("rollback takes VERSION and SERVER_ROOT"));
    RollbackRequest request;
    request.version = parser.positionalArguments().at(0);
    request.serverRoot = parser.positionalArguments().at(1);
    request.folder = parser.isSet(folder) ? parser.value(folder) : request.version;
    request.signKeyFile = parser.value(key);
    request.allowUnsigned = parser.isSet(QStringLiteral("unsigned"));
    if (const int usage = readPassphrase(parser, request.hasPassphrase, request.signKeyPassphrase))
        return usage;
    QString summary;
    QString error;
    if (!rollBack(request, summary, error)) {
        printLine(stderr, QStringLiteral("updater-publish: %1").arg(error));
        return kExitFailed;
    }
    printLine(stdout, summary);
    return 0;
}

// "check URL": the release doctor.
int runCheck(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption publicKey(QStringLiteral("public-key"), QStringLiteral("The clients' PublicKey=."),
                                       QStringLiteral("TEXT"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"), QStringLiteral("The clients' CaFile=."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption proxy(QStringLiteral("proxy"), QStringLiteral("The clients' Proxy=."),
                                   QStringLiteral("PROXY"));
    parser.addOptions({publicKey, caFile, proxy});
    QStringList rest = arguments;
    rest.removeAt(1);
    if (!parser.parse(rest))
        return usageError(parser.errorText());
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("check takes exactly one argument, URL"));
    DoctorOptions options;
    options.url = parser.positionalArguments().at(0);
    options.hasPublicKey = parser.isSet(publicKey);
    options.publicKey = parser.value(publicKey);
    options.caFile = parser.value(caFile);
    options.hasProxy = parser.isSet(proxy);
    options.proxy = parser.value(proxy);
    return checkRelease(options, [](const QString &line) { printLine(stdout, line); }) ? 0 : kExitFailed;
}

void describeCommandLine(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Publishes a built installation as a version on the update server.\n\n"
        "Copies the files of SOURCE_DIR that the updater lists (hidden entries are left out) "
        "to SERVER_ROOT/NAME/, writes NAME/md5.txt and then SERVER_ROOT/update.ini, which "
        "points clients at NAME. Left out as well: system.cfg, md5.txt, UpdateTmp/ and "
        "UpdateBackup/ at the top of SOURCE_DIR. Earlier version folders stay as they are. "
        "Nothing is written when a check fails; publishing the same tree again changes nothing.\n\n"
        "update.ini names the SHA-256 of md5.txt (Manifest=), so clients can tell a cut or foreign manifest.\n\n"
        "updater-publish keygen KEYFILE writes a new Ed25519 signing key (PKCS#8 PEM, mode 0600, "
        "never over an existing file) and prints the PublicKey= line for the clients' system.cfg.\n\n"
        "updater-publish rollback VERSION SERVER_ROOT [--folder NAME] [--sign-key KEYFILE] makes an earlier "
        "version, still whole in SERVER_ROOT, current again; files later versions added stay on clients.\n\n"
        "updater-publish check URL [--public-key TEXT] [--ca-file FILE] [--proxy PROXY] fetches the release at "
        "URL as a client does and reports what a client would get; exit 0 only when it would update cleanly. "
        "Run it after every upload."));
    parser.addHelpOption();
    const QCommandLineOption versionOption(
        QStringLiteral("version"),
        QStringLiteral("Version text that clients compare with theirs: printable ASCII without "
                       "blanks at either end, a leading @, or any of , ; \" \\. Required."),
        QStringLiteral("TEXT"));
    const QCommandLineOption folderOption(
        QStringLiteral("folder"),
        QStringLiteral("Version folder below SERVER_ROOT: ASCII letters, digits, '.', '_' and '-'. "
                       "Default: the version text."),
        QStringLiteral("NAME"));
    const QCommandLineOption configOption(
        QStringLiteral("include-config"),
        QStringLiteral("Publish SOURCE_DIR/system.cfg too; it sets every client's server address."));
    const QCommandLineOption forceOption(
        QStringLiteral("force"),
        QStringLiteral("Replace an existing NAME folder whose contents differ; never the current version's."));
    const QCommandLineOption signKeyOption(
        QStringLiteral("sign-key"),
        QStringLiteral("Sign update.ini with this Ed25519 private key (PEM, from keygen or "
                       "openssl genpkey -algorithm ed25519): adds Published and Signature."),
        QStringLiteral("KEYFILE"));
    const QCommandLineOption publishedOption(
        QStringLiteral("published"),
        QStringLiteral("With --sign-key: the Published time to sign (UTC, e.g. 2026-12-08T21:30:00Z) instead of "
                       "this machine's clock. Without it a time earlier than the current update.ini's is refused; "
                       "use it to leave a wrong time behind. At most 24 hours ahead of this machine's clock."),
        QStringLiteral("TIME"));
    const QCommandLineOption deltasOption(
        QStringLiteral("deltas"),
        QStringLiteral("Also write NAME/deltas/ and NAME/deltas.txt: zstd patches of each file from the N "
                       "releases published most recently before this one in SERVER_ROOT, and a zstd-compressed "
                       "copy of each file, each kept only when at least 10 % smaller than the file. "
                       "0 makes none. Default: %1.")
            .arg(kDefaultDeltaReleases),
        QStringLiteral("N"));
    parser.addOptions({versionOption, folderOption, configOption, forceOption, signKeyOption, publishedOption,
                       deltasOption, passEnvOption(), unsignedOption()});
    parser.addPositionalArgument(QStringLiteral("SOURCE_DIR"), QStringLiteral("The installation to publish."));
    parser.addPositionalArgument(QStringLiteral("SERVER_ROOT"),
                                 QStringLiteral("The folder the update server serves at its base URL."));
}

// 0 with the command line's publish request in request, or the exit code
// of a command line that holds none. --help prints and exits.
int readRequest(QCommandLineParser &parser, PublishRequest &request)
{
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.isSet(QStringLiteral("version")))
        return usageError(QStringLiteral("--version TEXT is required"));
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        return usageError(QStringLiteral("expected SOURCE_DIR and SERVER_ROOT, got %1 arguments").arg(positional.size()));
    const bool signKey = parser.isSet(QStringLiteral("sign-key"));
    const bool published = parser.isSet(QStringLiteral("published"));
    request.version = parser.value(QStringLiteral("version"));
    request.folder = parser.isSet(QStringLiteral("folder")) ? parser.value(QStringLiteral("folder")) : request.version;
    request.sourceDir = positional.at(0);
    request.serverRoot = positional.at(1);
    request.includeConfig = parser.isSet(QStringLiteral("include-config"));
    request.force = parser.isSet(QStringLiteral("force"));
    request.signKeyFile = parser.value(QStringLiteral("sign-key"));
    if (signKey && request.signKeyFile.isEmpty())
        return usageError(QStringLiteral("--sign-key needs a key file"));
    request.deltas = kDefaultDeltaReleases;
    if (parser.isSet(QStringLiteral("deltas"))) {
        bool number = false;
        request.deltas = parser.value(QStringLiteral("deltas")).toInt(&number);
        if (!number || request.deltas < 0 || request.deltas > 100)
            return usageError(QStringLiteral("--deltas takes a number from 0 to 100"));
    }
    request.published = parser.value(QStringLiteral("published"));
    if (published && request.published.isEmpty())
        return usageError(QStringLiteral("--published needs a time"));
    if (published && !signKey)
        return usageError(QStringLiteral("--published needs --sign-key"));
    request.allowUnsigned = parser.isSet(QStringLiteral("unsigned"));
    return readPassphrase(parser, request.hasPassphrase, request.signKeyPassphrase);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("updater-publish"));

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 2 && arguments.at(1) == QLatin1String("keygen"))
        return runKeygen(arguments);
    if (arguments.size() >= 2 && arguments.at(1) == QLatin1String("rollback"))
        return runRollback(arguments);
    if (arguments.size() >= 2 && arguments.at(1) == QLatin1String("check"))
        return runCheck(arguments);

    QCommandLineParser parser;
    describeCommandLine(parser);
    PublishRequest request;
    if (const int usage = readRequest(parser, request))
        return usage;

    QElapsedTimer elapsed;
    elapsed.start();
    TerminalProgress bar;
    const PublishResult result = publish(request, [&bar](const PublishProgress &p) { bar.update(p); });
    bar.finish();
    if (!result.ok) {
        printLine(stderr, QStringLiteral("updater-publish: %1").arg(result.error));
        return kExitFailed;
    }
    printLine(stdout, summaryLine(request, result, elapsed.elapsed()));
    return 0;
}

// The built executables end to end: releases made with updater-publish,
// served by a real nginx (or the fault server), and the updater run as a
// process in throw-away application folders.

#include "config/constants.h"
#include "delta/deltaindex.h"
#include "testsupport.h"
#include "update/updatetransaction.h"

#include <QDateTime>
#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/types.h>
#include <unistd.h>

namespace {

using Tree = QMap<QString, QByteArray>;

const QByteArray kReportUpToDate = "{\"errormsg\":\"\",\"success\":true,\"update\":false}\n";
const QByteArray kReportUpdate = "{\"errormsg\":\"\",\"success\":true,\"update\":true}\n";
const QByteArray kBom = "\xEF\xBB\xBF";
const QString kMarkerName = QStringLiteral("main-started");
// What the launcher's sleep guarantees at least.
const qint64 kLaunchDelayMs = 2000;

// The main program: notes its version and the time it ran, next to itself.
QByteArray mainScript(const QByteArray &version)
{
    return "#!/bin/sh\necho \"" + version + " $(date +%s%N)\" >> \"$(dirname \"$0\")/" + kMarkerName.toUtf8()
        + "\"\n";
}

QByteArray allBytes()
{
    QByteArray bytes;
    for (int round = 0; round < 4; ++round)
        for (int i = 0; i < 256; ++i)
            bytes += char(i);
    return bytes;
}

// A manifest as the updater writes its own: no byte-order mark, LF.
QByteArray manifestText(const Tree &files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += md5Hex(it.value()).toUtf8() + '\t' + it.key().toUtf8() + '\n';
    return text;
}

bool writeTree(const QString &root, const Tree &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + it.key(), it.value()))
            return false;
    }
    return true;
}

// before with the files of release written over it, as snapshotTree lists
// the result (folders the release brings included).
Tree withFiles(Tree before, const Tree &release)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it) {
        before.insert(it.key(), it.value());
        QString folder = it.key();
        while ((folder = folder.left(folder.lastIndexOf(QLatin1Char('/')))).size() > 0)
            before.insert(folder + QLatin1Char('/'), QByteArray("<dir>"));
    }
    return before;
}

QString describeDifferences(const Tree &actual, const Tree &expected)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing ") + it.key();
        else if (actual.value(it.key()) != it.value())
            lines << QStringLiteral("differs ") + it.key() + QStringLiteral(": ")
                    + QString::fromUtf8(actual.value(it.key()).left(60));
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("unexpected ") + it.key();
    }
    return lines.join(QStringLiteral("; "));
}

// UpdateTmp/'s entries but the lock a running updater holds there, its log
// and the resume folder a failed run leaves for the next one.
QStringList tmpEntries(const QString &appDir)
{
    QStringList entries = QDir(appDir + QStringLiteral("UpdateTmp"))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    entries.removeAll(kLockFile);
    entries.removeAll(kLogFile);
    entries.removeAll(kResumeName);
    return entries;
}

// The installation's files as the tests compare them: without the lock of
// a running updater, its log and what it keeps for a next run, the version
// record without its transaction stamp.
Tree installationTree(const QString &appDir)
{
    Tree tree = snapshotTree(appDir);
    tree.remove(QLatin1Char('/') + kUpdateTmpDir + kLockFile);
    tree.remove(QLatin1Char('/') + kUpdateTmpDir + kLogFile);
    const QString resume = QLatin1Char('/') + kUpdateTmpDir + kResumeName + QLatin1Char('/');
    for (auto it = tree.begin(); it != tree.end();)
        it = it.key().startsWith(resume) ? tree.erase(it) : std::next(it);
    const QString record = QLatin1Char('/') + kUpdateTmpDir + kUpdateIniFile;
    if (tree.contains(record))
        tree.insert(record, unstampedRecord(appDir + kUpdateTmpDir + kUpdateIniFile));
    return tree;
}

struct MainStart
{
    QString version;
    qint64 atMs = 0;
};

QVector<MainStart> mainStarts(const QString &appDir)
{
    QVector<MainStart> starts;
    for (const QByteArray &line : readFile(appDir + kMarkerName).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            starts.append({QString::fromUtf8(fields.at(0)), fields.at(1).toLongLong() / 1000000});
    }
    return starts;
}

// Processes whose command line names something below root: the updaters
// started from there and the launcher shells they leave behind.
QVector<pid_t> processesUnder(const QString &root)
{
    QVector<pid_t> found;
    const QByteArray needle = QDir(root).absolutePath().toUtf8();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = pid_t(entry.toInt(&numeric));
        if (!numeric || pid == ::getpid())
            continue;
        const QByteArray cmdline = readFile(QStringLiteral("/proc/") + entry + QStringLiteral("/cmdline"));
        if (cmdline.contains(needle))
            found.append(pid);
    }
    return found;
}

QString publishBinary()
{
    return qEnvironmentVariable("UPDATER_BINARY_DIR") + QStringLiteral("/src/updater-publish");
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fullUpdate_data();
    void fullUpdate();
    void upToDate_data();
    void upToDate();
    void failureMidQueue_data();
    void failureMidQueue();
    void secondStartDuringFailedUpdate();
    void publishUpdateRoundTrip();
    void interruptedApplyRecoveredAtStart_data();
    void interruptedApplyRecoveredAtStart();

private:
    QString path(const QString &relative) const { return m_tmp->filePath(relative); }
    QString serverRoot() const { return path(QStringLiteral("server")); }
    void startNginx();
    // deltas: updater-publish's --deltas; the plain cases publish none, so
    // their requests are the plain files.
    void publish(const QString &version, const Tree &source, int deltas = 0);
    // An installation of files with the given version record, pointing at
    // url, whose main program is main.sh; appDir ends in "/".
    void layOutApp(const QString &appDir, const Tree &files, const QByteArray &record, const QString &url);
    QProcess *startUpdater(const QString &appDir, const QStringList &arguments = QStringList());
    void waitForExit(QProcess *process);
    // Waits until the main program of appDir has run once more and nothing
    // of ours is left running, then checks that it ran once, as version.
    void expectMainStartedOnce(const QString &appDir, const QString &version, int earlierStarts = 0);
    void expectNothingStarted(const QString &appDir);
    // The failing release of the mid-queue cases, laid out and served.
    void prepareFailingUpdate(int how, QString *appDir, Tree *before);
    QStringList requests(int how) const;

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<NginxServer> m_nginx;
    std::unique_ptr<FaultServer> m_faults;
    QList<QProcess *> m_running;
    qint64 m_lastLaunchMs = 0;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY2(QFileInfo(updaterBinary()).isExecutable(), qPrintable(updaterBinary()));
    QVERIFY2(QFileInfo(publishBinary()).isExecutable(), qPrintable(publishBinary()));
    // The transaction this test drives itself logs every step.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void TestEndToEnd::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    QVERIFY(QDir().mkpath(serverRoot()));
    // A main program where the updater is started from: it must never run.
    const QString decoy = path(QStringLiteral("cwd/main.sh"));
    QVERIFY(writeFile(decoy, "#!/bin/sh\necho decoy >> '" + path(QStringLiteral("cwd/decoy-started")).toUtf8() + "'\n"));
    QVERIFY(QFile::setPermissions(decoy, QFile::permissions(decoy) | QFile::ExeOwner));
    m_running.clear();
}

void TestEndToEnd::cleanup()
{
    endProcesses(m_running);
    // Launcher shells a failed test may have left waiting.
    for (pid_t pid : processesUnder(m_tmp->path())) {
        qWarning("killing leftover process %d", int(pid));
        ::kill(pid, SIGKILL);
    }
    const bool decoyRan = QFileInfo::exists(path(QStringLiteral("cwd/decoy-started")));
    m_nginx.reset();
    m_faults.reset();
    m_tmp.reset();
    QVERIFY2(!decoyRan, "the main.sh of the working folder was started");
}

void TestEndToEnd::startNginx()
{
    m_nginx = std::make_unique<NginxServer>(serverRoot());
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorText()));
}

void TestEndToEnd::publish(const QString &version, const Tree &source, int deltas)
{
    const QString sourceDir = path(QStringLiteral("source-") + version);
    QVERIFY(writeTree(sourceDir, source));
    QProcess tool;
    tool.start(publishBinary(), {QStringLiteral("--version"), version, QStringLiteral("--deltas"),
                                 QString::number(deltas), sourceDir, serverRoot()});
    QVERIFY(tool.waitForFinished(60000));
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0,
             tool.readAllStandardError().constData());
    QVERIFY(readFile(serverRoot() + QStringLiteral("/update.ini")).contains("Version=" + version.toUtf8()));
}

void TestEndToEnd::layOutApp(const QString &appDir, const Tree &files, const QByteArray &record,
                             const QString &url)
{
    QVERIFY(writeTree(appDir.chopped(1), files));
    QVERIFY(writeFile(appDir + QStringLiteral("system.cfg"),
                      "[Update]\nURL=" + url.toUtf8() + "\nExeName=main.sh\n"));
    QVERIFY(writeFile(appDir + QStringLiteral("UpdateTmp/update.ini"), record));
    const QString main = appDir + QStringLiteral("main.sh");
    QVERIFY(QFile::setPermissions(main, QFileDevice::Permissions(0x7755)));
    QVERIFY(installUpdaterBinary(appDir));
}

QProcess *TestEndToEnd::startUpdater(const QString &appDir, const QStringList &arguments)
{
    auto *process = new QProcess;
    m_running << process;
    process->setWorkingDirectory(path(QStringLiteral("cwd")));
    m_lastLaunchMs = QDateTime::currentMSecsSinceEpoch();
    process->start(appDir + QStringLiteral("updater"), arguments);
    return process;
}

void TestEndToEnd::waitForExit(QProcess *process)
{
    // Spins the event loop: the fault server lives in this process.
    QTRY_VERIFY_WITH_TIMEOUT(process->state() == QProcess::NotRunning, 90000);
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
}

void TestEndToEnd::expectMainStartedOnce(const QString &appDir, const QString &version, int earlierStarts)
{
    QTRY_VERIFY_WITH_TIMEOUT(mainStarts(appDir).size() > earlierStarts, 30000);
    // Once nothing started from our folders runs, no further start can come.
    QTRY_VERIFY_WITH_TIMEOUT(processesUnder(m_tmp->path()).isEmpty(), 30000);
    const QVector<MainStart> starts = mainStarts(appDir);
    QCOMPARE(starts.size(), earlierStarts + 1);
    QCOMPARE(starts.last().version, version);
    QVERIFY2(starts.last().atMs >= m_lastLaunchMs + kLaunchDelayMs,
             qPrintable(QStringLiteral("main program ran %1 ms after the updater was started")
                            .arg(starts.last().atMs - m_lastLaunchMs)));
}

void TestEndToEnd::expectNothingStarted(const QString &appDir)
{
    // A start would come 2 s after the launcher ran.
    QTest::qWait(int(kLaunchDelayMs) + 1000);
    QVERIFY(!QFileInfo::exists(appDir + kMarkerName));
    QVERIFY(processesUnder(m_tmp->path()).isEmpty());
}

// --- a whole update ---------------------------------------------------------

void TestEndToEnd::fullUpdate_data()
{
    QTest::addColumn<bool>("hasManifest");
    QTest::addColumn<QByteArray>("localManifest");
    QTest::addColumn<QStringList>("fetched");

    const QStringList changedAndAdded = {
        "/2.0/B.txt", "/2.0/changed.txt", "/2.0/main.sh", "/2.0/newdir/deeper/added.bin",
        "/2.0/with%20space.txt", "/2.0/%E6%96%87%E6%A1%A3/%E8%AF%B4%E6%98%8E.txt"};
    // Without a local manifest the updater hashes the installation, so
    // exactly the changed and added files are fetched.
    QTest::newRow("local manifest missing") << false << QByteArray() << changedAndAdded;

    // An existing manifest is trusted as it is, never regenerated: a stale
    // hash fetches a file that is actually current, and so does a missing
    // entry.
    const QByteArray stale = md5Hex("one").toUtf8() + "\t/changed.txt\n"
        + md5Hex("an older same.txt").toUtf8() + "\t/same.txt\n"
        + md5Hex("anything").toUtf8() + "\t/gone.txt\n"
        + md5Hex(allBytes().left(100)).toUtf8() + "\t/lib/core.dat\n"
        + md5Hex(mainScript("1.0")).toUtf8() + "\t/main.sh\n"
        + md5Hex("old blank\n").toUtf8() + "\t/with space.txt\n"
        + md5Hex("旧说明\n").toUtf8() + QByteArray("\t/文档/说明.txt\n");
    QTest::newRow("stale local manifest")
        << true << stale
        << QStringList({"/2.0/B.txt", "/2.0/changed.txt", "/2.0/main.sh", "/2.0/newdir/deeper/added.bin",
                        "/2.0/same.txt", "/2.0/with%20space.txt", "/2.0/%E4%B8%AD%E6%96%87%E5%90%8C.txt",
                        "/2.0/%E6%96%87%E6%A1%A3/%E8%AF%B4%E6%98%8E.txt"});
}

void TestEndToEnd::fullUpdate()
{
    QFETCH(bool, hasManifest);
    QFETCH(QByteArray, localManifest);
    QFETCH(QStringList, fetched);

    const Tree old = {
        {"/main.sh", mainScript("1.0")},
        {"/changed.txt", "one"},
        {"/same.txt", "the same in both\n"},
        {"/lib/core.dat", allBytes().left(100)},
        {QStringLiteral("/中文同.txt"), "不变的内容\n"},
        {QStringLiteral("/文档/说明.txt"), "旧说明\n"},
        {"/with space.txt", "old blank\n"},
    };
    Tree release = old;
    release.insert("/main.sh", mainScript("2.0"));
    release.insert("/changed.txt", "version two is longer\n");
    release.insert(QStringLiteral("/文档/说明.txt"), "新说明\n");
    release.insert("/with space.txt", "new blank\r\n");
    release.insert("/B.txt", "added, upper case sorts first\n");
    release.insert("/newdir/deeper/added.bin", allBytes());
    startNginx();
    publish(QStringLiteral("2.0"), release);
    QVERIFY(!QTest::currentTestFailed());
    const QByteArray serverManifest = readFile(serverRoot() + QStringLiteral("/2.0/md5.txt"));
    const QByteArray serverIni = readFile(serverRoot() + QStringLiteral("/update.ini"));
    QVERIFY(serverManifest.startsWith(kBom)); // the reader has to honour it

    const QString app = path(QStringLiteral("my app")) + QLatin1Char('/');
    Tree installed = old;
    installed.insert("/local-only.txt", "kept by the update\n");
    installed.insert("/lib/local.cfg", "also kept\n");
    layOutApp(app, installed, "[Version]\nFolder=1.0\nVersion=1.0\n", m_nginx->baseUrl());
    QVERIFY(!QTest::currentTestFailed());
    if (hasManifest)
        QVERIFY(writeFile(app + QStringLiteral("md5.txt"), localManifest));
    const Tree before = installationTree(app);

    QProcess *updater = startUpdater(app);
    waitForExit(updater);
    QCOMPARE(updater->exitCode(), 0);

    // One request at a time: version file, manifest, then what differs, in
    // path order, each name percent-encoded.
    QCOMPARE(m_nginx->requestedPaths(), QStringList({"/update.ini", "/2.0/md5.txt"}) + fetched);

    expectMainStartedOnce(app, QStringLiteral("2.0"));
    QVERIFY(QFileInfo(app + QStringLiteral("main.sh")).isExecutable());

    Tree expected = withFiles(before, release);
    expected.insert(QStringLiteral("/md5.txt"), serverManifest);
    expected.insert(QStringLiteral("/UpdateTmp/update.ini"), serverIni);
    Tree after = installationTree(app);
    after.remove(QLatin1Char('/') + kMarkerName);
    QVERIFY2(after == expected, qPrintable(describeDifferences(after, expected)));
    QCOMPARE(tmpEntries(app), QStringList({"update.ini"}));
    QVERIFY(!QFileInfo::exists(app + QStringLiteral("UpdateBackup")));
}

// --- nothing to do ----------------------------------------------------------

void TestEndToEnd::upToDate_data()
{
    QTest::addColumn<bool>("console");
    QTest::newRow("console") << true;
    QTest::newRow("normal") << false;
}

void TestEndToEnd::upToDate()
{
    QFETCH(bool, console);
    const Tree release = {{"/main.sh", mainScript("2.0")}, {"/data.txt", "two"}};
    startNginx();
    publish(QStringLiteral("2.0"), release);
    QVERIFY(!QTest::currentTestFailed());
    const QString app = path(QStringLiteral("current app")) + QLatin1Char('/');
    // As a finished update leaves it: the record is the server's file.
    layOutApp(app, release, readFile(serverRoot() + QStringLiteral("/update.ini")), m_nginx->baseUrl());
    QVERIFY(!QTest::currentTestFailed());
    const Tree before = installationTree(app);

    QProcess *updater = startUpdater(app, console ? QStringList({QStringLiteral("console")}) : QStringList());
    waitForExit(updater);
    QCOMPARE(updater->exitCode(), 0);
    QCOMPARE(updater->readAllStandardOutput(), console ? kReportUpToDate : QByteArray());
    QCOMPARE(m_nginx->requestedPaths(), QStringList({"/update.ini"}));

    if (console)
        expectNothingStarted(app);
    else
        expectMainStartedOnce(app, QStringLiteral("2.0"));
    // No manifest generated, no server copy left behind.
    Tree after = installationTree(app);
    after.remove(QLatin1Char('/') + kMarkerName);
    QVERIFY2(after == before, qPrintable(describeDifferences(after, before)));
    QCOMPARE(m_nginx->requestedPaths(), QStringList({"/update.ini"}));
}

// --- a failure in the middle of the queue -----------------------------------

namespace {

enum FailureKind { MissingOnServer, CorruptOnServer, ResetMidFile };

} // namespace

void TestEndToEnd::prepareFailingUpdate(int how, QString *appDir, Tree *before)
{
    const Tree old = {{"/main.sh", mainScript("1.0")}, {"/a.txt", "old a"}, {"/b.txt", "old b"}, {"/keep.txt", "kept"}};
    Tree release = old;
    release.insert("/a.txt", "new a");
    release.insert("/b.txt", "new b, the one that fails");
    release.insert("/c/new.txt", "never fetched");

    QString url;
    if (how == ResetMidFile) {
        publish(QStringLiteral("2.0"), release);
        if (QTest::currentTestFailed())
            return;
        m_faults = std::make_unique<FaultServer>();
        QVERIFY(m_faults->listen());
        const Tree served = snapshotTree(serverRoot());
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            m_faults->setBody(it.key(), it.value());
        FaultServer::Route reset;
        reset.kind = FaultServer::Kind::Reset;
        reset.body = "new b";
        reset.announcedLength = release.value("/b.txt").size();
        m_faults->setRoute("/2.0/b.txt", reset);
        url = m_faults->baseUrl();
    } else {
        startNginx();
        publish(QStringLiteral("2.0"), release);
        if (QTest::currentTestFailed())
            return;
        const QString second = serverRoot() + QStringLiteral("/2.0/b.txt");
        if (how == MissingOnServer)
            QVERIFY(QFile::remove(second));
        else
            QVERIFY(writeFile(second, "NEW B, THE ONE THAT FAILS")); // same length, other bytes
        url = m_nginx->baseUrl();
    }

    *appDir = path(QStringLiteral("failing app")) + QLatin1Char('/');
    layOutApp(*appDir, old, "[Version]\nFolder=1.0\nVersion=1.0\n", url);
    // A local manifest from the start, so the installation stays byte for byte.
    QVERIFY(writeFile(*appDir + QStringLiteral("md5.txt"), manifestText(old)));
    *before = snapshotTree(*appDir);
}

QStringList TestEndToEnd::requests(int how) const
{
    return how == ResetMidFile ? m_faults->requestedPaths() : m_nginx->requestedPaths();
}

void TestEndToEnd::failureMidQueue_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("file missing on the server") << int(MissingOnServer);
    QTest::newRow("file corrupt on the server") << int(CorruptOnServer);
    QTest::newRow("connection reset in the file") << int(ResetMidFile);
}

void TestEndToEnd::failureMidQueue()
{
    QFETCH(int, how);
    QString app;
    Tree before;
    prepareFailingUpdate(how, &app, &before);
    QVERIFY(!QTest::currentTestFailed());
    QStringList untilFailure = {"/update.ini", "/2.0/md5.txt", "/2.0/a.txt", "/2.0/b.txt"};
    // A wrong MD5 is fetched once more, past caches, before it fails.
    if (how == CorruptOnServer)
        untilFailure << "/2.0/b.txt";

    QProcess *updater = startUpdater(app);
    // The failure is settled once the second file was asked for and the
    // temporary folder is cleaned.
    QTRY_VERIFY_WITH_TIMEOUT(requests(how).contains("/2.0/b.txt") && tmpEntries(app) == QStringList({"update.ini"}),
                             90000);
    // The dialog shows the failure and waits for the user.
    QTest::qWait(2000);
    QCOMPARE(updater->state(), QProcess::Running);
    QCOMPARE(requests(how), untilFailure);
    // Support can read which request failed and how.
    const QString log = QString::fromUtf8(readFile(app + kUpdateTmpDir + kLogFile));
    if (how == MissingOnServer)
        QVERIFY2(log.contains(QRegularExpression(QStringLiteral("请求失败: \"http://127\\.0\\.0\\.1:\\d+/2\\.0/b\\.txt\" HTTP状态: 404"))),
                 qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("更新未完成: \"更新失败: ")), qPrintable(log));
    Tree after = installationTree(app);
    QVERIFY2(after == before, qPrintable(describeDifferences(after, before)));
    QVERIFY(!QFileInfo::exists(app + kMarkerName));

    ::kill(pid_t(updater->processId()), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == QProcess::NotRunning, 30000);
    expectNothingStarted(app);
    after = installationTree(app);
    QVERIFY2(after == before, qPrintable(describeDifferences(after, before)));
    QCOMPARE(requests(how), untilFailure);
}

// --- the instance guard across a whole flow ----------------------------------

void TestEndToEnd::secondStartDuringFailedUpdate()
{
    QString app;
    Tree before;
    prepareFailingUpdate(MissingOnServer, &app, &before);
    QVERIFY(!QTest::currentTestFailed());

    QProcess *first = startUpdater(app, {QStringLiteral("console")});
    QTRY_VERIFY_WITH_TIMEOUT(m_nginx->requestedPaths().contains("/2.0/b.txt")
                                 && tmpEntries(app) == QStringList({"update.ini"}),
                             90000);
    const int requestsSoFar = m_nginx->requestedPaths().size();

    for (const QStringList &arguments : {QStringList({QStringLiteral("console")}), QStringList()}) {
        QProcess *second = startUpdater(app, arguments);
        waitForExit(second);
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->readAllStandardOutput(), QByteArray()); // silent, even in console mode
    }
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(first->readAllStandardOutput(), kReportUpdate);
    QCOMPARE(m_nginx->requestedPaths().size(), requestsSoFar); // the refused ones asked nothing
    Tree after = installationTree(app);
    QVERIFY2(after == before, qPrintable(describeDifferences(after, before)));

    ::kill(pid_t(first->processId()), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(first->state() == QProcess::NotRunning, 30000);
    QVERIFY(!QFileInfo::exists(app + kMarkerName));

    // The server is mended; the next start does the whole update.
    QVERIFY(writeFile(serverRoot() + QStringLiteral("/2.0/b.txt"), "new b, the one that fails"));
    QProcess *again = startUpdater(app);
    waitForExit(again);
    QCOMPARE(again->exitCode(), 0);
    // a.txt, verified by the killed run, is taken from what it kept.
    QCOMPARE(m_nginx->requestedPaths().mid(requestsSoFar),
             QStringList({"/update.ini", "/2.0/md5.txt", "/2.0/b.txt", "/2.0/c/new.txt"}));
    expectMainStartedOnce(app, QStringLiteral("1.0"));
    QCOMPARE(readFile(app + QStringLiteral("a.txt")), QByteArray("new a"));
    QCOMPARE(readFile(app + QStringLiteral("b.txt")), QByteArray("new b, the one that fails"));
    QCOMPARE(readFile(app + QStringLiteral("c/new.txt")), QByteArray("never fetched"));
    QCOMPARE(readFile(app + QStringLiteral("md5.txt")), readFile(serverRoot() + QStringLiteral("/2.0/md5.txt")));
    QCOMPARE(unstampedRecord(app + QStringLiteral("UpdateTmp/update.ini")), readFile(serverRoot() + QStringLiteral("/update.ini")));
    QCOMPARE(tmpEntries(app), QStringList({"update.ini"}));
}

// --- publish, install, update, update again ---------------------------------

void TestEndToEnd::publishUpdateRoundTrip()
{
    startNginx();
    // What a vendor's build folder holds: its own server address and a
    // hidden file are never published.
    const Tree v1 = {
        {"/main.sh", mainScript("1.0")},
        {"/readme.txt", "version one\n"},
        {"/data/table.csv", "a;b\n1;2\n"},
        {"/old-name.txt", "renamed in 3.0\n"},
        {"/will-go.txt", "dropped in 3.0\n"},
        {"/system.cfg", "[Update]\nURL=http://127.0.0.1:9/\nExeName=other\n"},
        {"/.build-note", "hidden"},
    };
    publish(QStringLiteral("1.0"), v1, 3);
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(!QFileInfo::exists(serverRoot() + QStringLiteral("/1.0/system.cfg")));
    QVERIFY(!QFileInfo::exists(serverRoot() + QStringLiteral("/1.0/.build-note")));

    // Installed from what was published: the version folder's files and its
    // version file as the record.
    const QString app = path(QStringLiteral("应用 app")) + QLatin1Char('/');
    Tree published = snapshotTree(serverRoot() + QStringLiteral("/1.0"));
    published.remove(QStringLiteral("/md5.txt"));
    // Published by default beside the files, not installed.
    published.remove(QStringLiteral("/deltas.txt"));
    for (auto it = published.begin(); it != published.end();) {
        if (it.key().endsWith(QLatin1Char('/')) || it.key().startsWith(QStringLiteral("/deltas/")))
            it = published.erase(it);
        else
            ++it;
    }
    QCOMPARE(published.size(), 5);
    layOutApp(app, published, readFile(serverRoot() + QStringLiteral("/update.ini")), m_nginx->baseUrl());
    QVERIFY(!QTest::currentTestFailed());
    const QByteArray ownConfig = readFile(app + QStringLiteral("system.cfg"));

    QProcess *check = startUpdater(app, {QStringLiteral("console")});
    waitForExit(check);
    QCOMPARE(check->readAllStandardOutput(), kReportUpToDate);

    Tree v2 = v1;
    v2.insert("/main.sh", mainScript("2.0"));
    v2.insert("/readme.txt", "version two\n");
    v2.insert("/data/extra/new.bin", allBytes());
    v2.insert(QStringLiteral("/中文/资料.txt"), "新增\n");
    publish(QStringLiteral("2.0"), v2, 3);
    QVERIFY(!QTest::currentTestFailed());
    int seen = m_nginx->requestedPaths().size();

    QProcess *second = startUpdater(app);
    waitForExit(second);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(m_nginx->requestedPaths().mid(seen),
             QStringList({"/update.ini", "/2.0/md5.txt", "/2.0/deltas.txt",
                          "/2.0/" + deltaObjectPath(md5Hex(allBytes()), QString()),
                          "/2.0/" + deltaObjectPath(md5Hex(v2.value("/main.sh")), md5Hex(v1.value("/main.sh"))),
                          "/2.0/readme.txt", "/2.0/%E4%B8%AD%E6%96%87/%E8%B5%84%E6%96%99.txt"}));
    expectMainStartedOnce(app, QStringLiteral("2.0"));
    for (auto it = v2.cbegin(); it != v2.cend(); ++it) {
        if (it.key() == "/system.cfg" || it.key() == "/.build-note")
            continue;
        QVERIFY2(readFile(app + it.key().mid(1)) == it.value(), qPrintable(it.key()));
    }
    QCOMPARE(readFile(app + QStringLiteral("system.cfg")), ownConfig);
    QVERIFY(!QFileInfo::exists(app + QStringLiteral(".build-note")));
    QCOMPARE(readFile(app + QStringLiteral("md5.txt")), readFile(serverRoot() + QStringLiteral("/2.0/md5.txt")));

    Tree v3 = v2;
    v3.remove("/will-go.txt");
    v3.insert("/new-name.txt", v3.take("/old-name.txt"));
    v3.insert("/main.sh", mainScript("3.0"));
    publish(QStringLiteral("3.0"), v3, 3);
    QVERIFY(!QTest::currentTestFailed());
    seen = m_nginx->requestedPaths().size();
    const Tree before = installationTree(app);

    QProcess *third = startUpdater(app);
    waitForExit(third);
    QCOMPARE(third->exitCode(), 0);
    // The local manifest is now the server's own (with its byte-order mark):
    // the Chinese name matches and is not fetched again; the renamed file is
    // copied from its old name.
    QCOMPARE(m_nginx->requestedPaths().mid(seen),
             QStringList({"/update.ini", "/3.0/md5.txt", "/3.0/deltas.txt",
                          "/3.0/" + deltaObjectPath(md5Hex(v3.value("/main.sh")), md5Hex(v2.value("/main.sh")))}));
    expectMainStartedOnce(app, QStringLiteral("3.0"), 1);

    // The updater never deletes: the dropped and the old name stay.
    Tree release3;
    for (auto it = v3.cbegin(); it != v3.cend(); ++it) {
        if (it.key() != "/system.cfg" && it.key() != "/.build-note")
            release3.insert(it.key(), it.value());
    }
    Tree expected = withFiles(before, release3);
    expected.insert(QStringLiteral("/md5.txt"), readFile(serverRoot() + QStringLiteral("/3.0/md5.txt")));
    expected.insert(QStringLiteral("/UpdateTmp/update.ini"), readFile(serverRoot() + QStringLiteral("/update.ini")));
    expected.remove(QLatin1Char('/') + kMarkerName);
    Tree after = installationTree(app);
    after.remove(QLatin1Char('/') + kMarkerName);
    QVERIFY2(after == expected, qPrintable(describeDifferences(after, expected)));
    QCOMPARE(readFile(app + QStringLiteral("will-go.txt")), QByteArray("dropped in 3.0\n"));
    QCOMPARE(readFile(app + QStringLiteral("old-name.txt")), QByteArray("renamed in 3.0\n"));
    QCOMPARE(tmpEntries(app), QStringList({"update.ini"}));
}

// --- an apply that died half way ---------------------------------------------

void TestEndToEnd::interruptedApplyRecoveredAtStart_data()
{
    QTest::addColumn<int>("stepsDone");
    QTest::newRow("after one file") << 1;
    QTest::newRow("after every file") << 3;
    QTest::newRow("after the manifest") << 4;
}

void TestEndToEnd::interruptedApplyRecoveredAtStart()
{
    QFETCH(int, stepsDone);
    const Tree old = {{"/main.sh", mainScript("1.0")}, {"/lib/a.dll", "old a"}, {"/same.txt", "same"}};
    Tree release = old;
    release.insert("/main.sh", mainScript("2.0"));
    release.insert("/lib/a.dll", "new a");
    release.insert("/new/deep/b.dat", "added");
    startNginx();
    publish(QStringLiteral("2.0"), release);
    QVERIFY(!QTest::currentTestFailed());

    const QString app = path(QStringLiteral("crashed app")) + QLatin1Char('/');
    layOutApp(app, old, "[Version]\nFolder=1.0\nVersion=1.0\n", m_nginx->baseUrl());
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(writeFile(app + QStringLiteral("md5.txt"), manifestText(old)));
    const Tree installed = installationTree(app);

    // What a run had fetched and verified when its apply was cut off.
    const QString served = serverRoot() + QStringLiteral("/2.0/");
    for (const QString &key : {QStringLiteral("/lib/a.dll"), QStringLiteral("/main.sh"), QStringLiteral("/new/deep/b.dat")})
        QVERIFY(writeFile(app + QStringLiteral("UpdateTmp") + key, readFile(served + key.mid(1))));
    QVERIFY(writeFile(app + QStringLiteral("UpdateTmp/md5Tmp.txt"), readFile(served + QStringLiteral("md5.txt"))));
    QVERIFY(writeFile(app + QStringLiteral("UpdateTmp/updateTmp.ini"), readFile(serverRoot() + QStringLiteral("/update.ini"))));
    const QStringList order = {"/lib/a.dll", "/main.sh", "/new/deep/b.dat", "/md5.txt", "/UpdateTmp/update.ini"};
    const QStringList sources = {"lib/a.dll", "main.sh", "new/deep/b.dat", "md5Tmp.txt", "updateTmp.ini"};
    {
        // The same steps as apply, in its order; the "process" ends here
        // without commit or rollback.
        UpdateTransaction transaction(app);
        QVERIFY(transaction.begin(QStringLiteral("2.0")));
        for (int i = 0; i < stepsDone; ++i)
            QVERIFY(transaction.install(app + QStringLiteral("UpdateTmp/") + sources.at(i), order.at(i)));
    }
    QVERIFY(QFileInfo::exists(app + QStringLiteral("UpdateBackup/journal")));
    QCOMPARE(readFile(app + QStringLiteral("lib/a.dll")), QByteArray("new a")); // half updated now

    // First a start whose update fails before apply: whatever it shows, the
    // installation it leaves must be the old one again, byte for byte.
    const QString added = served + QStringLiteral("new/deep/b.dat");
    QVERIFY(QFile::rename(added, added + QStringLiteral(".away")));
    QProcess *first = startUpdater(app, {QStringLiteral("console")});
    QByteArray report;
    QTRY_VERIFY_WITH_TIMEOUT((report += first->readAllStandardOutput()).contains('\n'), 60000);
    // The record is 1.0 again before the version is compared: an update is due.
    QCOMPARE(report, kReportUpdate);
    QTRY_VERIFY_WITH_TIMEOUT(m_nginx->requestedPaths().contains("/2.0/new/deep/b.dat")
                                 && tmpEntries(app) == QStringList({"update.ini"}),
                             90000);
    Tree after = installationTree(app);
    QVERIFY2(after == installed, qPrintable(describeDifferences(after, installed)));
    ::kill(pid_t(first->processId()), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(first->state() == QProcess::NotRunning, 30000);
    const int seen = m_nginx->requestedPaths().size();

    QVERIFY(QFile::rename(added + QStringLiteral(".away"), added));
    QProcess *updater = startUpdater(app, {QStringLiteral("console")});
    waitForExit(updater);
    QCOMPARE(updater->exitCode(), 0);
    QCOMPARE(updater->readAllStandardOutput(), kReportUpdate);
    // The old manifest is back as well: every changed file is due again;
    // those the failed start verified come from what it kept.
    QCOMPARE(m_nginx->requestedPaths().mid(seen),
             QStringList({"/update.ini", "/2.0/md5.txt", "/2.0/new/deep/b.dat"}));
    expectMainStartedOnce(app, QStringLiteral("2.0"));

    Tree expected = withFiles(installed, release);
    expected.insert(QStringLiteral("/md5.txt"), readFile(served + QStringLiteral("md5.txt")));
    expected.insert(QStringLiteral("/UpdateTmp/update.ini"), readFile(serverRoot() + QStringLiteral("/update.ini")));
    after = installationTree(app);
    after.remove(QLatin1Char('/') + kMarkerName);
    QVERIFY2(after == expected, qPrintable(describeDifferences(after, expected)));
    QVERIFY(QFileInfo(app + QStringLiteral("main.sh")).isExecutable());
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"

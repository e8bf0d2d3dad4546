// Walking, hashing, writing, reading and comparing md5.txt manifests.

#include "manifest/filemanifest.h"
#include "manifest/manifestformat.h"
#include "testsupport.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <atomic>
#include <thread>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

// Readable failure output for manifest comparisons.
char *toString(const FileManifest &manifest)
{
    QByteArray text = "{";
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        if (it != manifest.cbegin())
            text += ", ";
        text += '"' + it.key().toUtf8() + "\": \"" + it.value().toUtf8() + '"';
    }
    text += '}';
    return qstrdup(text.constData());
}

namespace {

// MD5 of the content named in the comment, worked out independently.
const char kMd5Empty[] = "d41d8cd98f00b204e9800998ecf8427e";
const char kMd5Abc[] = "900150983cd24fb0d6963f7d28e17f72";    // "abc"
const char kMd5UpperB[] = "9d5ed678fe57bcca610140957afab571"; // "B"
const char kMd5LowerB[] = "92eb5ffee6ae2fec3ad71c777531578f"; // "b"
const char kMd5F[] = "8fa14cdd754f91cc6554c9e71929cce7";      // "f"
const char kMd5G[] = "b2f5ff47436671b6e533d8dc3614845d";      // "g"
const char kMd5N[] = "7b8b965ad4bca0e41ab51de7b31363a1";      // "n"
const QByteArray kFifoPayload = "fifo payload";
const char kMd5FifoPayload[] = "648a578c025d76b62095a9a6d8fd148a";

#ifdef Q_OS_WIN
const QByteArray kLineEnd = "\r\n";
#else
const QByteArray kLineEnd = "\n";
#endif

const QDir::Filters kListing = QDir::Dirs | QDir::Files | QDir::NoDot | QDir::NoDotDot;

// Names starting with "." are hidden on Unix; Windows wants the attribute.
bool writeHiddenFile(const QString &path, const QByteArray &content)
{
    if (!writeFile(path, content))
        return false;
#ifdef Q_OS_WIN
    // The file, and its folder when that has the dotted name.
    for (const QString &entry : {path, QFileInfo(path).path()}) {
        if (!QFileInfo(entry).fileName().startsWith(QLatin1Char('.')))
            continue;
        const QString native = QDir::toNativeSeparators(entry);
        const auto name = reinterpret_cast<const wchar_t *>(native.utf16());
        if (!SetFileAttributesW(name, GetFileAttributesW(name) | FILE_ATTRIBUTE_HIDDEN))
            return false;
    }
#endif
    return true;
}

QByteArray line(const QByteArray &value, const QByteArray &key)
{
    return value + '\t' + key + kLineEnd;
}

// Bytes that cross every read-buffer boundary a hasher might use.
QByteArray patternBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) % 251);
    return bytes;
}

QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes += char(c.unicode() & 0xff);
        bytes += char(c.unicode() >> 8);
    }
    return bytes;
}

// Decodes files without a byte-order mark as Latin-1 while alive, so that
// UTF-8 text only comes out right when a mark selected UTF-8.
class Latin1Locale
{
public:
    Latin1Locale() : m_previous(QTextCodec::codecForLocale())
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    }
    ~Latin1Locale() { QTextCodec::setCodecForLocale(m_previous); }
    Latin1Locale(const Latin1Locale &) = delete;
    Latin1Locale &operator=(const Latin1Locale &) = delete;

private:
    QTextCodec *m_previous;
};

} // namespace

class TestManifest : public QObject
{
    Q_OBJECT

private slots:
    // Hashing and writing
    void fileMd5OfContent_data();
    void fileMd5OfContent();
    void fileMd5OfUnreadablePath();
    void generateWritesSortedManifest();
    void generateOnEmptyTreeWritesEmptyFile();
    void generateFailuresAreSilent();
    void generateGivesVanishedFileEmptyValue();

    // Walking
    void walkEndsLinkLoopsAndFollowsOtherLinks();
    void walkAppendsBelowPrefix();

    // Reading and comparing
    void readManifestContent_data();
    void readManifestContent();
    void readManifestUnopenable();
    void readServerManifestStrictly_data();
    void readServerManifestStrictly();
    void compare_data();
    void compare();
};

void TestManifest::fileMd5OfContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QByteArray() << QString::fromLatin1(kMd5Empty);
    QTest::newRow("abc") << QByteArray("abc") << QString::fromLatin1(kMd5Abc);
    QTest::newRow("5 MiB + 7 bytes")
        << patternBytes(5 * 1024 * 1024 + 7) << QStringLiteral("e9c310ceddd8e6a8aeabc8d38d36d8ab");
}

void TestManifest::fileMd5OfContent()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString path = tmp.filePath(QStringLiteral("file.bin"));
    QVERIFY(writeFile(path, content));
    QCOMPARE(fileMd5(path), expected);
}

void TestManifest::fileMd5OfUnreadablePath()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString missing = fileMd5(tmp.filePath(QStringLiteral("missing.txt")));
    QVERIFY(missing.isEmpty());
    const QString directory = fileMd5(tmp.path());
    QVERIFY(directory.isEmpty());
#ifdef Q_OS_LINUX
    // Opens, reports size 0, and fails on the first read (nothing is mapped
    // at address 0): a read error must not pass for an empty file.
    if (QFileInfo::exists(QStringLiteral("/proc/self/mem"))) {
        const QString failedRead = fileMd5(QStringLiteral("/proc/self/mem"));
        QVERIFY2(failedRead.isEmpty(), qPrintable(failedRead));
    }
#endif
}

void TestManifest::generateWritesSortedManifest()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.path() + QLatin1Char('/');

    QVERIFY(writeFile(root + "B.txt", "B"));
    QVERIFY(writeFile(root + "a.txt", "abc"));
    QVERIFY(writeFile(root + "a/b.txt", "b"));
    QVERIFY(writeFile(root + "empty.txt", ""));
    QVERIFY(writeFile(root + "sub/deeper/n.txt", "n"));
    QVERIFY(QDir().mkpath(root + "emptydir"));
    QVERIFY(QDir().mkpath(root + "sub/emptyinner"));
    // Nothing is skipped by name.
    QVERIFY(writeFile(root + "UpdateTmp/md5Tmp.txt", "f"));
    QVERIFY(writeFile(root + "system.cfg", "g"));
    // Hidden entries, and everything below a hidden directory, stay out.
    QVERIFY(writeHiddenFile(root + ".hidden.txt", "x"));
    QVERIFY(writeHiddenFile(root + "sub/.secret", "x"));
    QVERIFY(writeFile(root + ".cache/visible/seen.txt", "x"));
    QVERIFY(writeHiddenFile(root + ".cache/inner.txt", "x"));

    generateManifest(root);

    // Upper case before lower case; "." before "/" so /a.txt precedes /a/b.txt.
    const QByteArray first = line(kMd5UpperB, "/B.txt")
        + line(kMd5F, "/UpdateTmp/md5Tmp.txt")
        + line(kMd5Abc, "/a.txt")
        + line(kMd5LowerB, "/a/b.txt")
        + line(kMd5Empty, "/empty.txt")
        + line(kMd5N, "/sub/deeper/n.txt")
        + line(kMd5G, "/system.cfg");
    QCOMPARE(readFileStrict(root + "md5.txt"), first);

    const FileManifest expectedRead{
        {"/B.txt", kMd5UpperB}, {"/UpdateTmp/md5Tmp.txt", kMd5F}, {"/a.txt", kMd5Abc},
        {"/a/b.txt", kMd5LowerB}, {"/empty.txt", kMd5Empty}, {"/sub/deeper/n.txt", kMd5N},
        {"/system.cfg", kMd5G}};
    QCOMPARE(readManifest(root + "md5.txt"), expectedRead);

    // A second run lists the old md5.txt like any file, then replaces it.
    generateManifest(root);
    const QByteArray oldHash = QCryptographicHash::hash(first, QCryptographicHash::Md5).toHex();
    const QByteArray second = line(kMd5UpperB, "/B.txt")
        + line(kMd5F, "/UpdateTmp/md5Tmp.txt")
        + line(kMd5Abc, "/a.txt")
        + line(kMd5LowerB, "/a/b.txt")
        + line(kMd5Empty, "/empty.txt")
        + line(oldHash, "/md5.txt")
        + line(kMd5N, "/sub/deeper/n.txt")
        + line(kMd5G, "/system.cfg");
    QCOMPARE(readFileStrict(root + "md5.txt"), second);
}

void TestManifest::generateOnEmptyTreeWritesEmptyFile()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.path() + QLatin1Char('/');
    QVERIFY(QDir().mkpath(root + "only/empty/dirs"));

    generateManifest(root);

    QFileInfo written(root + "md5.txt");
    QVERIFY(written.isFile());
    QCOMPARE(written.size(), qint64(0));
}

void TestManifest::generateFailuresAreSilent()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());

    // A missing root: nothing listed, nothing created.
    const QString missingRoot = tmp.path() + "/missing/";
    QStringList files;
    collectFiles(missingRoot, QString(), files);
    QVERIFY(files.isEmpty());
    generateManifest(missingRoot);
    QVERIFY(!QFileInfo::exists(missingRoot));

    // A directory with md5.txt's name is never written into: it is moved
    // aside whole and md5.txt is written fresh.
    const QString blocked = tmp.path() + "/blocked/";
    QVERIFY(writeFile(blocked + "a.txt", "abc"));
    QVERIFY(QDir().mkpath(blocked + "md5.txt"));
    generateManifest(blocked);
    QVERIFY(QFileInfo(blocked + "md5.txt").isFile());
    const QStringList aside = QDir(blocked).entryList({"md5.txt.stale-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(QDir(blocked + aside.first()).entryList(kListing | QDir::Hidden), QStringList());
    QCOMPARE(readFileStrict(blocked + "a.txt"), QByteArray("abc"));

    // An empty root writes nothing, not even relative to the working directory.
    const QString work = tmp.path() + "/work";
    QVERIFY(writeFile(work + "/a.txt", "abc"));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work));
    generateManifest(QString());
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(QDir(work).entryList(kListing | QDir::Hidden), QStringList{"a.txt"});
}

// Running as root, permission bits cannot make a file unreadable, so the
// file goes away after the walk listed it. A link to a FIFO holds the hashing
// until a writer connects; the writer deletes the plain files before it sends
// anything, so those listed after the link can no longer be opened.
void TestManifest::generateGivesVanishedFileEmptyValue()
{
#ifndef Q_OS_UNIX
    QSKIP("needs FIFOs");
#else
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString fifoPath = tmp.path() + "/fifo";
    const QByteArray nativeFifo = QFile::encodeName(fifoPath);
    QVERIFY(mkfifo(nativeFifo.constData(), 0600) == 0);
    const QString root = tmp.path() + "/root/";
    QVERIFY(QDir().mkpath(root));

    QStringList victims;
    const auto addVictim = [&] {
        const QString name = QStringLiteral("v%1").arg(victims.size());
        victims << name;
        return writeFile(root + name, "abc");
    };
    const auto victimsAfterPipe = [&] {
        const QStringList order = QDir(root).entryList(kListing, QDir::NoSort);
        return order.mid(order.indexOf(QStringLiteral("pipe")) + 1);
    };
    // Files made before and after the link: whatever order the file system
    // lists them in, usually one comes after it; otherwise add more.
    QVERIFY(addVictim());
    QVERIFY(QFile::link(fifoPath, root + "pipe"));
    QVERIFY(addVictim());
    while (victimsAfterPipe().isEmpty() && victims.size() < 64)
        QVERIFY(addVictim());
    const QStringList late = victimsAfterPipe();
    QVERIFY2(!late.isEmpty(), "no file is listed after the link");

    std::atomic<bool> writerConnected{false};
    std::thread writer([&] {
        const int fd = ::open(nativeFifo.constData(), O_WRONLY);
        if (fd < 0)
            return;
        writerConnected = true;
        for (const QString &name : qAsConst(victims))
            ::unlink(QFile::encodeName(root + name).constData());
        const ssize_t written = ::write(fd, kFifoPayload.constData(), size_t(kFifoPayload.size()));
        Q_UNUSED(written)
        ::close(fd);
    });

    const auto previousPipeHandler = std::signal(SIGPIPE, SIG_IGN);
    generateManifest(root);
    // Reading the FIFO to its end needs the writer to have been and gone.
    const bool pipeHashed = writerConnected;
    // If the hashing never opened the link, this reader lets the writer end.
    const int releaser = ::open(nativeFifo.constData(), O_RDONLY | O_NONBLOCK);
    writer.join();
    if (releaser >= 0)
        ::close(releaser);
    std::signal(SIGPIPE, previousPipeHandler);

    QVERIFY2(pipeHashed, "the link to the FIFO was not hashed");
    QMap<QString, QByteArray> expected;
    expected.insert(QStringLiteral("/pipe"), kMd5FifoPayload);
    for (const QString &name : qAsConst(victims))
        expected.insert(QLatin1Char('/') + name, late.contains(name) ? QByteArray() : QByteArray(kMd5Abc));
    QByteArray expectedBytes;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        expectedBytes += line(it.value(), it.key().toLatin1());
    QCOMPARE(readFileStrict(root + "md5.txt"), expectedBytes);
#endif
}

void TestManifest::walkEndsLinkLoopsAndFollowsOtherLinks()
{
#ifndef Q_OS_UNIX
    QSKIP("QFile::link makes shortcuts here, not directory links");
#endif
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.path() + "/root/";
    QVERIFY(writeFile(root + "real/f.txt", "f"));
    QVERIFY(writeFile(root + "real/nested/n.txt", "n"));
    QVERIFY(writeFile(root + "other/g.txt", "g"));
    QVERIFY(writeFile(tmp.path() + "/beside.txt", "abc"));
    // Loops: back to the root, to the parent directory, and above the root.
    QVERIFY(QFile::link(root, root + "real/up"));
    QVERIFY(QFile::link(root + "real", root + "real/nested/back"));
    QVERIFY(QFile::link(tmp.path(), root + "other/aboveRoot"));
    // Not loops: a sibling directory, reached a second time, and a file.
    QVERIFY(QFile::link(root + "real", root + "other/toReal"));
    QVERIFY(QFile::link(root + "real/f.txt", root + "fileLink"));

    generateManifest(root);

    const QByteArray expected = line(kMd5F, "/fileLink")
        + line(kMd5G, "/other/g.txt")
        + line(kMd5F, "/other/toReal/f.txt")
        + line(kMd5N, "/other/toReal/nested/n.txt")
        + line(kMd5F, "/real/f.txt")
        + line(kMd5N, "/real/nested/n.txt");
    QCOMPARE(readFileStrict(root + "md5.txt"), expected);
}

void TestManifest::walkAppendsBelowPrefix()
{
#ifndef Q_OS_UNIX
    QSKIP("QFile::link makes shortcuts here, not directory links");
#endif
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.path() + QLatin1Char('/');
    QVERIFY(writeFile(root + "top.txt", "x"));
    QVERIFY(writeFile(root + "dir/Readme.TXT", "x"));
    QVERIFY(writeFile(root + "dir/inner/c.txt", "x"));
    QVERIFY(QFile::link(root + "dir", root + "dir/inner/loop"));

    QStringList files{QStringLiteral("kept")};
    collectFiles(root, QStringLiteral("/dir"), files);

    QCOMPARE(files.value(0), QStringLiteral("kept"));
    QStringList walked = files.mid(1);
    walked.sort();
    QCOMPARE(walked, (QStringList{"/dir/Readme.TXT", "/dir/inner/c.txt"}));
}

void TestManifest::readManifestContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<FileManifest>("expected");

    QTest::newRow("LF lines") << QByteArray("h1\t/a.txt\nh2\t/b/c.txt\n")
                              << FileManifest{{"/a.txt", "h1"}, {"/b/c.txt", "h2"}};
    QTest::newRow("CR LF lines") << QByteArray("h1\t/a.txt\r\nh2\t/b.txt\r\n")
                                 << FileManifest{{"/a.txt", "h1"}, {"/b.txt", "h2"}};
    QTest::newRow("no final line end") << QByteArray("h1\t/a.txt")
                                       << FileManifest{{"/a.txt", "h1"}};
    QTest::newRow("blanks kept") << QByteArray(" h1 \t /a.txt \n")
                                 << FileManifest{{" /a.txt ", " h1 "}};
    QTest::newRow("extra fields ignored") << QByteArray("h1\t/a.txt\textra\t\n")
                                          << FileManifest{{"/a.txt", "h1"}};
    QTest::newRow("empty value") << QByteArray("\t/a.txt\n") << FileManifest{{"/a.txt", ""}};
    QTest::newRow("empty key") << QByteArray("h1\t\n") << FileManifest{{"", "h1"}};
    QTest::newRow("last line for a key wins")
        << QByteArray("h1\t/a.txt\nh2\t/b.txt\nh3\t/a.txt\n")
        << FileManifest{{"/a.txt", "h3"}, {"/b.txt", "h2"}};
    QTest::newRow("lines without TAB skipped")
        << QByteArray("h1 /a.txt\n\n\r\njunk\nh2\t/b.txt\n") << FileManifest{{"/b.txt", "h2"}};
    QTest::newRow("case kept") << QByteArray("H1\t/A.dll\nh1\t/a.dll\n")
                               << FileManifest{{"/A.dll", "H1"}, {"/a.dll", "h1"}};
    QTest::newRow("empty file") << QByteArray() << FileManifest();
    QTest::newRow("local 8-bit without BOM")
        << QByteArray("h1\t/caf\xe9.txt\n") << FileManifest{{QStringLiteral("/caf\u00e9.txt"), "h1"}};
    QTest::newRow("UTF-8 BOM") << QByteArray("\xef\xbb\xbfh1\t/caf\xc3\xa9.txt\r\nh2\t/b.txt\n")
                               << FileManifest{{QStringLiteral("/caf\u00e9.txt"), "h1"}, {"/b.txt", "h2"}};
    QTest::newRow("UTF-16LE BOM")
        << utf16le(QStringLiteral("\uFEFFh1\t/\u00e9.txt\n"))
        << FileManifest{{QStringLiteral("/\u00e9.txt"), "h1"}};
}

void TestManifest::readManifestContent()
{
    QFETCH(QByteArray, content);
    QFETCH(FileManifest, expected);

    const Latin1Locale latin1;
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString path = tmp.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeFile(path, content));
    QCOMPARE(readManifest(path), expected);
}

void TestManifest::readManifestUnopenable()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QCOMPARE(readManifest(tmp.filePath(QStringLiteral("missing.txt"))), FileManifest());
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("md5.txt"))));
    QCOMPARE(readManifest(tmp.filePath(QStringLiteral("md5.txt"))), FileManifest());
}

void TestManifest::readServerManifestStrictly_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<FileManifest>("expected");
    QTest::addColumn<QString>("error"); // "<path>" stands for the file's path

    const QByteArray a = kMd5Abc;
    const QByteArray b = kMd5LowerB;
    const FileManifest ab{{"/a.txt", kMd5Abc}, {"/b/c.txt", kMd5LowerB}};
    const auto ok = [](const char *name, const QByteArray &content, const FileManifest &expected) {
        QTest::newRow(name) << true << content << expected << QString();
    };
    const auto bad = [](const char *name, const QByteArray &content, const QString &error) {
        QTest::newRow(name) << true << content << FileManifest() << error;
    };

    ok("LF", a + "\t/a.txt\n" + b + "\t/b/c.txt\n", ab);
    ok("CR LF", a + "\t/a.txt\r\n" + b + "\t/b/c.txt\r\n", ab);
    ok("no final line end", a + "\t/a.txt\n" + b + "\t/b/c.txt", ab);
    ok("blank lines", "\n" + a + "\t/a.txt\n\r\n\n" + b + "\t/b/c.txt\n\r\n", ab);
    ok("keys out of order", b + "\t/b/c.txt\n" + a + "\t/a.txt\n", ab);
    ok("upper-case hex kept as written", a.toUpper() + "\t/a.txt\n",
       FileManifest{{"/a.txt", QString(kMd5Abc).toUpper()}});
    // UTF-8 whatever the locale's code page, with or without the mark.
    ok("UTF-8 with BOM", "\xef\xbb\xbf" + a + "\t/caf\xc3\xa9.txt\r\n" + b + "\t/\xe6\x96\x87.txt\r\n",
       FileManifest{{QStringLiteral("/caf\u00e9.txt"), kMd5Abc}, {QStringLiteral("/\u6587.txt"), kMd5LowerB}});
    ok("UTF-8 without BOM", a + "\t/caf\xc3\xa9.txt\n", FileManifest{{QStringLiteral("/caf\u00e9.txt"), kMd5Abc}});
    // Some 200 KiB: lines cross the reader's block ends.
    QByteArray many;
    FileManifest manyExpected;
    for (int i = 0; i < 3000; ++i) {
        const QString key = QStringLiteral("/dir%1/file-%2.dat").arg(i % 7).arg(i, 5, 10, QLatin1Char('0'));
        const QByteArray hash = i % 2 ? a : b;
        many += hash + '\t' + key.toUtf8() + (i % 3 ? "\n" : "\r\n");
        manyExpected.insert(key, QString::fromLatin1(hash));
    }
    ok("lines across read blocks", many, manyExpected);

    const QString format = QStringLiteral("清单格式错误:");
    bad("HTML page", "<!DOCTYPE html>\n<html><body>404 Not Found</body></html>\n", format + "1");
    bad("md5sum output", a + "  /a.txt\n", format + "1");
    bad("31 hex digits", a.left(31) + "\t/a.txt\n", format + "1");
    bad("33 hex digits", a + "0\t/a.txt\n", format + "1");
    bad("not hex", a.left(31) + "g\t/a.txt\n", format + "1");
    bad("no leading slash", a + "\ta.txt\n", format + "1");
    bad("empty path", a + "\t\n", format + "1");
    bad("no path", a + "\n", format + "1");
    bad("blank before the hash", " " + a + "\t/a.txt\n", format + "1");
    bad("second TAB", a + "\t/a.txt\textra\n", format + "1");
    bad("not UTF-8", a + "\t/caf\xe9.txt\n", format + "1");
    bad("UTF-16", utf16le(QStringLiteral("\uFEFF") + QString(kMd5Abc) + QStringLiteral("\t/a.txt\n")), format + "1");
    bad("CR alone as line end", a + "\t/a.txt\r" + b + "\t/b/c.txt\r", format + "1");
    bad("bad line among good ones, blank lines counted",
        a + "\t/a.txt\n\n" + "junk\n" + b + "\t/b/c.txt\n", format + "3");
    bad("bad last line without line end", a + "\t/a.txt\r\n" + b + "\t/b/c.txt\r\n" + a.left(20), format + "3");
    bad("duplicate key", a + "\t/a.txt\n" + b + "\t/b/c.txt\n" + b + "\t/a.txt\n", format + "3");
    bad("empty file", "", QStringLiteral("清单为空"));
    bad("only blank lines", "\xef\xbb\xbf\n\r\n\n", QStringLiteral("清单为空"));
    QTest::newRow("missing file") << false << QByteArray() << FileManifest()
                                  << QStringLiteral("无法读取文件:<path>");
}

void TestManifest::readServerManifestStrictly()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(FileManifest, expected);
    QFETCH(QString, error);

    const Latin1Locale latin1;
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString path = tmp.filePath(QStringLiteral("md5Tmp.txt"));
    if (exists)
        QVERIFY(writeFile(path, content));

    // Whatever the caller held before must not survive a failure.
    FileManifest manifest{{"/stale.txt", kMd5F}};
    QString actualError = QStringLiteral("stale");
    const bool ok = readServerManifest(path, manifest, actualError);
    QCOMPARE(actualError, QString(error).replace(QLatin1String("<path>"), path));
    QCOMPARE(ok, error.isEmpty());
    QCOMPARE(manifest, expected);
}

void TestManifest::compare_data()
{
    QTest::addColumn<FileManifest>("local");
    QTest::addColumn<FileManifest>("server");
    QTest::addColumn<FileManifest>("expected");
    // The local md5.txt as streamed past the server's manifest; when empty,
    // local written out.
    QTest::addColumn<QByteArray>("localText");

    const FileManifest both{{"/a.txt", kMd5Abc}, {"/b/c.dll", kMd5Empty}};
    QTest::newRow("identical") << both << both << FileManifest() << QByteArray();
    QTest::newRow("local empty") << FileManifest() << both << both << QByteArray();
    QTest::newRow("server empty") << both << FileManifest() << FileManifest() << QByteArray();
    QTest::newRow("changed, missing and local-only")
        << FileManifest{{"/a.txt", kMd5Abc}, {"/changed", "old"}, {"/localOnly", "x"}}
        << FileManifest{{"/a.txt", kMd5Abc}, {"/changed", "new"}, {"/new", "n"}}
        << FileManifest{{"/changed", "new"}, {"/new", "n"}} << QByteArray();
    QTest::newRow("left out between fetched ones")
        << FileManifest{{"/a", "old"}, {"/b", kMd5Abc}, {"/d", kMd5Abc}}
        << FileManifest{{"/a", "new"}, {"/b", kMd5Abc}, {"/c", "n"}, {"/d", kMd5Abc}, {"/e", "n"}}
        << FileManifest{{"/a", "new"}, {"/c", "n"}, {"/e", "n"}} << QByteArray();
    QTest::newRow("local value empty") << FileManifest{{"/a.txt", ""}}
                                       << FileManifest{{"/a.txt", kMd5Abc}}
                                       << FileManifest{{"/a.txt", kMd5Abc}} << QByteArray();
    QTest::newRow("both values empty") << FileManifest{{"/a.txt", ""}}
                                       << FileManifest{{"/a.txt", ""}} << FileManifest() << QByteArray();
    QTest::newRow("server value empty") << FileManifest{{"/a.txt", kMd5Abc}}
                                        << FileManifest{{"/a.txt", ""}}
                                        << FileManifest{{"/a.txt", ""}} << QByteArray();
    QTest::newRow("key case differs") << FileManifest{{"/a.dll", kMd5Abc}}
                                      << FileManifest{{"/A.dll", kMd5Abc}}
                                      << FileManifest{{"/A.dll", kMd5Abc}} << QByteArray();
    QTest::newRow("upper-case hex differs") << FileManifest{{"/a.txt", kMd5Abc}}
                                            << FileManifest{{"/a.txt", QString(kMd5Abc).toUpper()}}
                                            << FileManifest{{"/a.txt", QString(kMd5Abc).toUpper()}} << QByteArray();
    QTest::newRow("trailing blank differs") << FileManifest{{"/a.txt", kMd5Abc}}
                                            << FileManifest{{"/a.txt", QString(kMd5Abc) + ' '}}
                                            << FileManifest{{"/a.txt", QString(kMd5Abc) + ' '}} << QByteArray();
    // Only a stream can hold these: as in readManifest, a key's last line counts.
    const FileManifest one{{"/a", kMd5Abc}};
    QTest::newRow("duplicate, last differs") << FileManifest() << one << one
                                             << QByteArray("900150983cd24fb0d6963f7d28e17f72\t/a\nold\t/a\n");
    QTest::newRow("duplicate, last matches") << FileManifest() << one << FileManifest()
                                             << QByteArray("old\t/a\r\n900150983cd24fb0d6963f7d28e17f72\t/a\r\n");
    QTest::newRow("lines without TAB, extra field") << FileManifest() << one << FileManifest()
                                                    << QByteArray("junk\n\n900150983cd24fb0d6963f7d28e17f72\t/a\textra");
}


void TestManifest::compare()
{
    QFETCH(FileManifest, local);
    QFETCH(FileManifest, server);
    QFETCH(FileManifest, expected);
    QFETCH(QByteArray, localText);

    if (localText.isEmpty())
        QCOMPARE(compareManifests(local, server), expected);

    // The streamed comparison the update run uses gives the same result.
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString localPath = tmp.filePath("md5.txt");
    if (localText.isEmpty()) {
        for (auto it = local.cbegin(); it != local.cend(); ++it)
            localText += it.value().toUtf8() + '\t' + it.key().toUtf8() + '\n';
    }
    QVERIFY(writeFile(localPath, localText));
    FileManifest streamed = server;
    dropUnchangedEntries(streamed, localPath);
    QCOMPARE(streamed, compareManifests(readManifest(localPath), server));
    QCOMPARE(streamed, expected);
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"

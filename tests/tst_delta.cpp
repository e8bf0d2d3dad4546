#include "delta/deltadecoder.h"
#include "delta/deltaindex.h"
#include "publish/deltas.h"
#include "publish/publisher.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using Files = QMap<QString, QByteArray>;

namespace {

// Text-like bytes: they compress well, and a few changed lines patch small.
QByteArray textBytes(int lines, quint32 seed, int changeEvery = 0)
{
    QByteArray bytes;
    QRandomGenerator random(seed);
    for (int i = 0; i < lines; ++i) {
        const bool changed = changeEvery > 0 && i % changeEvery == 0;
        bytes += "line " + QByteArray::number(i) + " value " + QByteArray::number(i * 7919 % 10007)
            + (changed ? " changed " + QByteArray::number(random.generate()) : QByteArray()) + '\n';
    }
    return bytes;
}

// Feeds object to the decoder in pieces of chunk bytes; the sink's bytes
// must be the output file's.
bool decode(const QString &base, const QByteArray &object, const QString &output, int chunk, QByteArray &decoded,
            QString &error)
{
    QByteArray sunk;
    DeltaDecoder decoder;
    const auto sink = [&](const char *data, qint64 size, QString &) {
        sunk.append(data, int(size));
        return true;
    };
    bool ok = decoder.begin(base, output, object.size(), sink, error);
    for (int at = 0; ok && at < object.size(); at += chunk)
        ok = decoder.feed(object.constData() + at, qMin(chunk, object.size() - at), error);
    ok = ok && decoder.finish(error);
    decoded = readFile(output);
    if (ok && decoded != sunk) {
        error = QStringLiteral("the sink saw other bytes than the output file holds");
        return false;
    }
    return ok;
}

QStringList indexLines(const QString &folder)
{
    return QString::fromLatin1(readFile(folder + QStringLiteral("/deltas.txt"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class DeltaTest : public QObject
{
    Q_OBJECT

private slots:
    void publishedDeltasRoundTrip_data();
    void publishedDeltasRoundTrip();
    void patchBases_data();
    void patchBases();
    void hostileIndex_data();
    void hostileIndex();
    void choice_data();
    void choice();
    void decoderRefusesBadInput_data();
    void decoderRefusesBadInput();
};

void DeltaTest::publishedDeltasRoundTrip_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<bool>("patch"); // a patch from the old file is expected
    QTest::addColumn<bool>("copy");  // a compressed copy is expected
    QTest::addColumn<int>("chunk");

    const QByteArray noise = randomBytes(300000, 1);
    QByteArray edited = noise;
    edited.replace(1000, 64, randomBytes(64, 2));
    QTest::newRow("text, lines changed") << textBytes(20000, 3) << textBytes(20000, 3, 500) << true << true << 4096;
    QTest::newRow("noise, a few bytes changed") << noise << edited << true << false << 1;
    QTest::newRow("noise, appended") << noise << noise + randomBytes(5000, 4) << true << false << 65536;
    QTest::newRow("unrelated noise: neither is 10 % smaller") << randomBytes(50000, 5) << randomBytes(50000, 6)
                                                              << false << false << 997;
    // About 92 % of its size once compressed, patched or not.
    QTest::newRow("compresses by less than 10 %") << randomBytes(262144, 8) + randomBytes(131072, 9, 64)
                                                  << randomBytes(262144, 10) + randomBytes(131072, 11, 64) << false
                                                  << false << 5000;
    QTest::newRow("new file") << QByteArray() << textBytes(3000, 7) << false << true << 333;
}

// Every object the release tool keeps decodes to the new file (patches
// against the old one), is at least 10 % smaller, and publishing the same
// tree again changes nothing.
void DeltaTest::publishedDeltasRoundTrip()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QFETCH(bool, patch);
    QFETCH(bool, copy);
    QFETCH(int, chunk);
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("root"));
    const QString source = dir.filePath(QStringLiteral("source"));
    Files oldFiles{{QStringLiteral("/keep.txt"), QByteArray("same in both")}};
    if (!oldBytes.isNull())
        oldFiles.insert(QStringLiteral("/sub/f.bin"), oldBytes);
    QVERIFY(publishTree(root, source, QStringLiteral("1.0"), oldFiles, 3));
    const Files newFiles{{QStringLiteral("/keep.txt"), QByteArray("same in both")},
                         {QStringLiteral("/sub/f.bin"), newBytes}};
    QVERIFY(publishTree(root, source, QStringLiteral("2.0"), newFiles, 3));
    QVERIFY(readFile(root + QStringLiteral("/update.ini")).contains("Deltas=deltas.txt"));

    const QString folder = root + QStringLiteral("/2.0");
    const QString newMd5 = md5Hex(newBytes);
    const QString oldMd5 = oldBytes.isNull() ? QString() : md5Hex(oldBytes);
    bool sawPatch = false;
    bool sawCopy = false;
    const QStringList lines = indexLines(folder);
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        QCOMPARE(fields.size(), 3);
        const bool isCopy = fields.at(1) == QLatin1String("-");
        const QString path = deltaObjectPath(fields.at(0), isCopy ? QString() : fields.at(1));
        const QByteArray object = readFile(folder + QLatin1Char('/') + path);
        QCOMPARE(QString::number(object.size()), fields.at(2));
        const QByteArray plain = fields.at(0) == newMd5 ? newBytes : newFiles.value(QStringLiteral("/keep.txt"));
        QVERIFY2(qint64(object.size()) * 10 <= qint64(plain.size()) * 9, qPrintable(line));
        QString base;
        if (!isCopy) {
            QCOMPARE(fields.at(1), oldMd5);
            base = root + QStringLiteral("/1.0/sub/f.bin");
        }
        QByteArray decoded;
        QString error;
        QVERIFY2(decode(base, object, dir.filePath(QStringLiteral("out")), chunk, decoded, error), qPrintable(error));
        QCOMPARE(md5Hex(decoded), fields.at(0));
        sawPatch = sawPatch || (!isCopy && fields.at(0) == newMd5);
        sawCopy = sawCopy || (isCopy && fields.at(0) == newMd5);
    }
    QCOMPARE(sawPatch, patch);
    QCOMPARE(sawCopy, copy);
    QCOMPARE(lines, [&] { QStringList sorted = lines; sorted.sort(); return sorted; }());

    const Files before = snapshotTree(root);
    PublishResult again;
    QVERIFY(publishTree(root, source, QStringLiteral("2.0"), newFiles, 3, &again));
    QCOMPARE(int(again.change), int(PublishResult::Change::None));
    QCOMPARE(snapshotTree(root), before);
}

void DeltaTest::patchBases_data()
{
    QTest::addColumn<QStringList>("published"); // in this order, each with its own content
    QTest::addColumn<int>("deltas");            // --deltas of the last one
    QTest::addColumn<QStringList>("bases");     // releases the last one has patches from

    const QStringList five{"1.0", "2.0", "3.0", "4.0", "5.0"};
    QTest::newRow("--deltas 0") << five << 0 << QStringList();
    QTest::newRow("--deltas 1") << five << 1 << QStringList{"4.0"};
    QTest::newRow("default 3: the three most recent") << five << 3 << QStringList{"4.0", "3.0", "2.0"};
    QTest::newRow("more than there are") << QStringList{"1.0", "2.0"} << 5 << QStringList{"1.0"};
    // Publish order, not the names' order, decides.
    QTest::newRow("order of publishing") << QStringList{"3.0", "1.0", "2.0", "0.9"} << 2 << QStringList{"2.0", "1.0"};
    QTest::newRow("an old version made current again counts as recent")
        << QStringList{"1.0", "2.0", "3.0", "1.0", "4.0"} << 2 << QStringList{"1.0", "3.0"};
}

void DeltaTest::patchBases()
{
    QFETCH(QStringList, published);
    QFETCH(int, deltas);
    QFETCH(QStringList, bases);
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("root"));
    const QString source = dir.filePath(QStringLiteral("source"));
    QHash<QString, QString> md5ByRelease;
    for (int i = 0; i < published.size(); ++i) {
        const QString &version = published.at(i);
        // Each version has its own content; republishing one repeats it.
        const QByteArray bytes = textBytes(5000, 11, 50 + published.indexOf(version));
        md5ByRelease.insert(version, md5Hex(bytes));
        const bool last = i == published.size() - 1;
        QVERIFY(publishTree(root, source, version, {{QStringLiteral("/app.bin"), bytes}}, last ? deltas : 3));
    }
    const QString folder = root + QLatin1Char('/') + published.last();
    QStringList expected;
    for (const QString &base : bases)
        expected.append(md5ByRelease.value(published.last()) + QLatin1Char('\t') + md5ByRelease.value(base));
    expected.sort();
    QStringList found;
    for (const QString &line : indexLines(folder)) {
        if (!line.contains(QLatin1String("\t-\t")))
            found.append(line.section(QLatin1Char('\t'), 0, 1));
    }
    QCOMPARE(found, expected);
    const QByteArray versionFile = readFile(root + QStringLiteral("/update.ini"));
    QCOMPARE(versionFile.contains("Deltas="), deltas > 0);
    QCOMPARE(QFileInfo::exists(folder + QStringLiteral("/deltas.txt")), deltas > 0);
    QCOMPARE(QFileInfo::exists(folder + QStringLiteral("/deltas")), deltas > 0);
}

void DeltaTest::hostileIndex_data()
{
    QTest::addColumn<QByteArray>("index");
    QTest::addColumn<int>("entries");

    const QByteArray a(32, 'a');
    const QByteArray b(32, 'b');
    const QByteArray good = a + "\t" + b + "\t100\n" + a + "\t-\t200\n";
    QTest::newRow("well-formed") << good << 2;
    QTest::newRow("CRLF, no last line end, upper case") << a.toUpper() + "\t" + b + "\t100\r\n" + a + "\t-\t200" << 2;
    QTest::newRow("garbage lines skipped") << "hello\n\n\t\t\n" + good + "\xff\xfe\x00junk\n" + a + "\t" + b << 2;
    QTest::newRow("bad fields") << a + "\t" + b + "\t-5\n" + a + "\t" + b + "\t0\n" + a + "\tnope\t5\n"
            + a.left(31) + "\t-\t5\n" + a + "\t-\t5\textra\n" + a + "\t-\t1e5\n" + a + "\t-\t 5\n" << 0;
    QTest::newRow("oversize sizes") << a + "\t-\t99999999999999999999\n" + a + "\t-\t1099511627777\n" + a
            + "\t" + b + "\t9223372036854775807\n" << 0;
    QTest::newRow("patch from itself") << a + "\t" + a + "\t10\n" << 0;
    QTest::newRow("repeated pair keeps the first") << good + a + "\t" + b + "\t1\n" << 2;
    QByteArray huge = good;
    huge += QByteArray(int(kMaxDeltaIndexBytes) - huge.size() + 1, '\n');
    QTest::newRow("over 64 MiB: none") << huge << 0;
    QTest::newRow("64 MiB exactly") << huge.left(int(kMaxDeltaIndexBytes)) << 2;
}

void DeltaTest::hostileIndex()
{
    QFETCH(QByteArray, index);
    QFETCH(int, entries);
    const DeltaIndex parsed = DeltaIndex::parse(index);
    QCOMPARE(parsed.size(), entries);
    if (entries == 2) {
        const QVector<DeltaObject> objects = parsed.objectsFor(QString(32, QLatin1Char('A')));
        QCOMPARE(objects.size(), 2);
        QCOMPARE(objects.at(0).baseMd5, QString(32, QLatin1Char('b')));
        QCOMPARE(objects.at(0).size, qint64(100));
        QCOMPARE(objects.at(1).baseMd5, QString());
        QCOMPARE(objects.at(1).size, qint64(200));
    }
}

void DeltaTest::choice_data()
{
    QTest::addColumn<QString>("localMd5");
    QTest::addColumn<qint64>("plainSize");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("path");

    const QString n(32, QLatin1Char('1'));
    const QString b(32, QLatin1Char('b'));
    const QString c(32, QLatin1Char('c'));
    const int patch = int(DeltaChoice::Kind::Patch);
    const int copy = int(DeltaChoice::Kind::Copy);
    const int plain = int(DeltaChoice::Kind::Plain);
    QTest::newRow("patch from the installed content") << b << qint64(-1) << patch << "deltas/" + n + "-" + b + ".zst";
    QTest::newRow("other base installed: the copy") << c.left(31) + "0" << qint64(-1) << copy << "deltas/" + n + ".zst";
    QTest::newRow("not installed: the copy") << QString() << qint64(-1) << copy << "deltas/" + n + ".zst";
    QTest::newRow("upper-case local MD5") << b.toUpper() << qint64(-1) << patch << "deltas/" + n + "-" + b + ".zst";
    QTest::newRow("patch as large as the file: the copy") << b << qint64(50) << copy << "deltas/" + n + ".zst";
    QTest::newRow("both too large: the file") << b << qint64(20) << plain << QString();
}

void DeltaTest::choice()
{
    QFETCH(QString, localMd5);
    QFETCH(qint64, plainSize);
    QFETCH(int, kind);
    QFETCH(QString, path);
    const QByteArray n(32, '1');
    const DeltaIndex index = DeltaIndex::parse(n + "\t" + QByteArray(32, 'b') + "\t50\n" + n + "\t-\t30\n"
                                               + QByteArray(32, '2') + "\t" + QByteArray(32, 'c') + "\t5\n");
    const DeltaChoice chosen = chooseDelta(index, QString::fromLatin1(n), localMd5, plainSize);
    QCOMPARE(int(chosen.kind), kind);
    QCOMPARE(chosen.path, path);
    // Nothing in the index for a file: the plain file.
    QCOMPARE(int(chooseDelta(index, QString(32, QLatin1Char('3')), localMd5).kind), int(DeltaChoice::Kind::Plain));
}

void DeltaTest::decoderRefusesBadInput_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("a byte changed") << "flip";
    QTest::newRow("cut short") << "cut";
    QTest::newRow("wrong base") << "wrong base";
    QTest::newRow("base missing") << "no base";
    QTest::newRow("data after the end") << "trailing";
    QTest::newRow("longer than its index entry") << "too long";
    QTest::newRow("not zstd") << "garbage";
    QTest::newRow("copy that needs a base") << "no prefix";
}

// A bad object or base is a clear failure with a text, never a crash or
// a silently wrong file.
void DeltaTest::decoderRefusesBadInput()
{
    QFETCH(QString, fault);
    QTemporaryDir dir;
    const QByteArray oldBytes = randomBytes(200000, 21);
    QByteArray newBytes = oldBytes;
    newBytes.replace(5000, 100, randomBytes(100, 22));
    const QString base = dir.filePath(QStringLiteral("old"));
    const QString other = dir.filePath(QStringLiteral("other"));
    QVERIFY(writeFile(base, oldBytes) && writeFile(dir.filePath(QStringLiteral("new")), newBytes)
            && writeFile(other, randomBytes(200000, 23)));
    DeltaObjectResult made;
    QString error;
    const QString patchPath = dir.filePath(QStringLiteral("patch.zst"));
    QVERIFY2(makeDeltaObject(base, md5Hex(oldBytes), dir.filePath(QStringLiteral("new")), patchPath,
                             newBytes.size(), 19, made, error), qPrintable(error));
    QVERIFY(made.kept);
    QByteArray object = readFile(patchPath);
    QString useBase = base;
    qint64 maxInput = object.size();
    if (fault == QLatin1String("flip"))
        object[object.size() / 2] = char(object.at(object.size() / 2) ^ 0x5a);
    else if (fault == QLatin1String("cut"))
        object.chop(7);
    else if (fault == QLatin1String("wrong base"))
        useBase = other;
    else if (fault == QLatin1String("no base"))
        useBase = dir.filePath(QStringLiteral("missing"));
    else if (fault == QLatin1String("trailing"))
        object += QByteArray("xyz");
    else if (fault == QLatin1String("too long"))
        maxInput = object.size() - 1;
    else if (fault == QLatin1String("garbage"))
        object = randomBytes(5000, 24);
    else if (fault == QLatin1String("no prefix"))
        useBase.clear();

    QByteArray decoded;
    DeltaDecoder decoder;
    const auto sink = [&](const char *data, qint64 size, QString &) {
        decoded.append(data, int(size));
        return true;
    };
    error.clear();
    bool ok = decoder.begin(useBase, dir.filePath(QStringLiteral("out")), maxInput, sink, error);
    for (int at = 0; ok && at < object.size(); at += 4096)
        ok = decoder.feed(object.constData() + at, qMin(4096, object.size() - at), error);
    ok = ok && decoder.finish(error);
    QVERIFY(!ok);
    QVERIFY(!error.isEmpty());
    QVERIFY(decoded != newBytes);
}

QTEST_GUILESS_MAIN(DeltaTest)
#include "tst_delta.moc"

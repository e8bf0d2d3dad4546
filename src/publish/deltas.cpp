#include "deltas.h"

#include "config/constants.h"
#include "delta/deltaindex.h"
#include "manifest/manifestformat.h"
#include "publishsupport.h"
#include "releasehistory.h"
#include "serverroot.h"
#include "trust/versionfile.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_c_stableInBuffer
#include <zstd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kPublishLevel = 19;
constexpr size_t kOutputChunk = 1 << 20;

// A whole file mapped for reading; a file of 0 bytes maps to nothing.
class MappedFile
{
public:
    bool open(const QString &path)
    {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly))
            return false;
        m_size = m_file.size();
        m_data = m_size > 0 ? m_file.map(0, m_size) : nullptr;
        return m_size == 0 || m_data;
    }
    ~MappedFile()
    {
        if (m_data)
            m_file.unmap(m_data);
    }
    const uchar *data() const { return m_data; }
    qint64 size() const { return m_size; }
    QString md5() const
    {
        QCryptographicHash hash(QCryptographicHash::Md5);
        for (qint64 at = 0; at < m_size; at += 1 << 30)
            hash.addData(reinterpret_cast<const char *>(m_data) + at, int(qMin<qint64>(1 << 30, m_size - at)));
        return QString::fromLatin1(hash.result().toHex());
    }

private:
    QFile m_file;
    uchar *m_data = nullptr;
    qint64 m_size = 0;
};

using CCtxPtr = std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)>;

bool setUp(ZSTD_CCtx *cctx, const MappedFile *base, qint64 newSize, int level)
{
    bool ok = !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level))
        && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1))
        // The input is the mapped file itself: no copy of it in the heap.
        && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_stableInBuffer, 1))
        && !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, quint64(newSize)));
    if (ok && base) {
        // As zstd --patch-from: a window reaching over the whole base, no more.
        ok = !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, deltaPatchWindowLog(base->size())))
            && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1));
        if (ok && base->size() > 0)
            ok = !ZSTD_isError(ZSTD_CCtx_refPrefix(cctx, base->data(), size_t(base->size())));
    }
    return ok;
}

struct DeltaJob
{
    QString newMd5;
    QString baseMd5; // empty: a compressed copy
    QString newPath;
    QString basePath;
    qint64 plainSize = 0;
    DeltaObjectResult result;
};

// A copy of each distinct file, a patch for each distinct pair of contents.
std::vector<DeltaJob> planJobs(const QString &server, const QString &folder, const QString &staging,
                               const SourceFiles &release, int count)
{
    std::vector<DeltaJob> jobs;
    QSet<QString> planned;
    const auto add = [&](const QString &key, const QString &baseMd5, const QString &basePath) {
        DeltaJob job;
        job.newMd5 = release.manifest.value(key);
        job.baseMd5 = baseMd5;
        if (job.newMd5 == baseMd5 || planned.contains(job.newMd5 + QLatin1Char(' ') + baseMd5))
            return;
        planned.insert(job.newMd5 + QLatin1Char(' ') + baseMd5);
        job.newPath = staging + key;
        job.basePath = basePath;
        job.plainSize = release.sizes.value(key);
        jobs.push_back(job);
    };
    for (auto it = release.manifest.cbegin(); it != release.manifest.cend(); ++it)
        add(it.key(), QString(), QString());
    for (const QString &earlier : recentReleases(server, folder, count)) {
        const QString root = server + QLatin1Char('/') + earlier;
        FileManifest base;
        QString ignored;
        if (!readServerManifest(root + QLatin1Char('/') + kMd5File, base, ignored))
            continue;
        for (auto it = release.manifest.cbegin(); it != release.manifest.cend(); ++it) {
            const QString baseMd5 = base.value(it.key()).toLower();
            const QFileInfo info(root + it.key());
            if (baseMd5.isEmpty() || !info.isFile() || info.isSymLink() || info.size() == 0
                || info.size() > kMaxPatchedFileBytes || release.sizes.value(it.key()) > kMaxPatchedFileBytes)
                continue;
            add(it.key(), baseMd5, info.filePath());
        }
    }
    return jobs;
}

// Runs every job on as many threads as there are cores; the first error stops the rest.
bool runJobs(std::vector<DeltaJob> &jobs, const QString &objects, QString &error)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    QMutex errorLock;
    const auto work = [&]() {
        for (size_t i = next++; i < jobs.size() && !failed; i = next++) {
            DeltaJob &job = jobs[i];
            const QString out =
                objects + QLatin1Char('/') + deltaObjectPath(job.newMd5, job.baseMd5).mid(kDeltaFolder.size() + 1);
            QString why;
            if (!makeDeltaObject(job.basePath, job.baseMd5, job.newPath, out, job.plainSize * 9 / 10, kPublishLevel,
                                 job.result, why)) {
                QMutexLocker lock(&errorLock);
                if (!failed.exchange(true))
                    error = why;
            }
        }
    };
    const size_t threads = qBound<size_t>(1, size_t(QThread::idealThreadCount()), jobs.size());
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread &thread : pool)
        thread.join();
    return !failed;
}

} // namespace

QString deltaConflict(const SourceFiles &release)
{
    for (auto it = release.manifest.keyBegin(); it != release.manifest.keyEnd(); ++it) {
        if (isDeltaKey(*it))
            return QStringLiteral("the release has its own %1, where deltas would go; publish it with --deltas 0")
                .arg(quoted(*it));
    }
    return QString();
}

bool makeDeltaObject(const QString &basePath, const QString &baseMd5, const QString &newPath,
                     const QString &outPath, qint64 limit, int level, DeltaObjectResult &result, QString &error)
{
    result = DeltaObjectResult();
    MappedFile source;
    if (!source.open(newPath)) {
        error = QStringLiteral("cannot read %1").arg(native(newPath));
        return false;
    }
    MappedFile base;
    // An unreadable or changed base only means no patch from it.
    if (!basePath.isEmpty() && (!base.open(basePath) || (!baseMd5.isEmpty() && base.md5() != baseMd5)))
        return true;
    if (limit <= 0)
        return true;
    CCtxPtr cctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!cctx || !setUp(cctx.get(), basePath.isEmpty() ? nullptr : &base, source.size(), level)) {
        error = QStringLiteral("cannot start zstd for %1").arg(native(newPath));
        return false;
    }
    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = QStringLiteral("cannot write %1: %2").arg(native(outPath), out.errorString());
        return false;
    }
    std::vector<char> buffer(kOutputChunk);
    ZSTD_inBuffer in = {source.data(), size_t(source.size()), 0};
    size_t remaining = 1;
    while (remaining != 0 && result.size <= limit) {
        ZSTD_outBuffer chunk = {buffer.data(), buffer.size(), 0};
        remaining = ZSTD_compressStream2(cctx.get(), &chunk, &in, ZSTD_e_end);
        if (ZSTD_isError(remaining)) {
            error = QStringLiteral("zstd failed on %1: %2").arg(native(newPath), QLatin1String(ZSTD_getErrorName(remaining)));
            out.remove();
            return false;
        }
        if (out.write(buffer.data(), qint64(chunk.pos)) != qint64(chunk.pos)) {
            error = QStringLiteral("cannot write %1: %2").arg(native(outPath), out.errorString());
            out.remove();
            return false;
        }
        result.size += qint64(chunk.pos);
    }
    // Not worth its request: the plain file is fetched instead.
    if (result.size > limit) {
        out.remove();
        result.size = 0;
        return true;
    }
    if (!out.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(native(outPath), out.errorString());
        out.remove();
        return false;
    }
    result.kept = true;
    return true;
}

bool writeReleaseDeltas(const QString &server, const QString &folder, const QString &staging,
                        const SourceFiles &release, int count, QString &error)
{
    if (count <= 0)
        return true;
    const QString objects = staging + QLatin1Char('/') + kDeltaFolder;
    if (!QDir().mkpath(objects)) {
        error = QStringLiteral("cannot create %1").arg(native(objects));
        return false;
    }
    std::vector<DeltaJob> jobs = planJobs(server, folder, staging, release, count);
    if (!runJobs(jobs, objects, error))
        return false;
    QVector<DeltaObject> kept;
    for (const DeltaJob &job : jobs) {
        if (job.result.kept)
            kept.append({job.newMd5, job.baseMd5, job.result.size});
    }
    // An empty folder would only be clutter on the server.
    if (kept.isEmpty())
        QDir().rmdir(objects);
    return writeFileReplacing(staging + QLatin1Char('/') + kDeltaIndexFile, deltaIndexBytes(kept), error);
}

void nameDeltaIndex(const QString &versionFilePath, VersionFilePlan &plan)
{
    QByteArray current;
    QFile file(versionFilePath);
    const bool hasCurrent = file.open(QIODevice::ReadOnly);
    if (hasCurrent)
        current = file.readAll();
    const QByteArray &planned = plan.current ? current : plan.bytes;
    if (VersionFile::parse(planned).value(kDeltaIndexKey) == kDeltaIndexFile)
        return;
    plan.bytes = withVersionFileValue(planned, kDeltaIndexKey, kDeltaIndexFile);
    plan.current = hasCurrent && plan.bytes == current;
}

#include "deltadecoder.h"

#include "deltaindex.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer, ZSTD_getFrameHeader
#include <zstd.h>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace {

// Larger outputs are refused before anything is written.
constexpr qint64 kMaxOutputBytes = qint64(1) << 36;

QString zstdText(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

// Reserves the output's blocks, so a full disk is an error here and not a
// fault while writing through the map.
bool reserve(QFile &file, qint64 size, QString &error)
{
    if (!file.resize(size)) {
        error = file.errorString();
        return false;
    }
#ifdef Q_OS_UNIX
    const int result = ::posix_fallocate(file.handle(), 0, size);
    if (result != 0) {
        error = QString::fromLocal8Bit(::strerror(result));
        return false;
    }
#endif
    return true;
}

} // namespace

DeltaDecoder::DeltaDecoder() = default;

DeltaDecoder::~DeltaDecoder()
{
    abort();
}

bool DeltaDecoder::fail(QString &error, const QString &message)
{
    error = message;
    m_failed = true;
    abort();
    return false;
}

void DeltaDecoder::abort()
{
    if (m_dctx) {
        ZSTD_freeDCtx(m_dctx);
        m_dctx = nullptr;
    }
    if (m_outputMap) {
        m_output.unmap(m_outputMap);
        m_outputMap = nullptr;
    }
    m_output.close();
    if (m_baseMap) {
        m_base.unmap(m_baseMap);
        m_baseMap = nullptr;
    }
    m_base.close();
}

bool DeltaDecoder::begin(const QString &basePath, const QString &outputPath, qint64 maxInput, const Sink &sink,
                         QString &error)
{
    abort();
    m_sink = sink;
    m_outputPath = outputPath;
    m_outputSize = -1;
    m_outputPos = 0;
    m_maxInput = maxInput;
    m_input = 0;
    m_header.clear();
    m_frameDone = false;
    m_failed = false;
    m_windowLogMax = kDeltaCopyWindowLog;
    if (maxInput <= 0)
        return fail(error, QStringLiteral("no size for the object"));
    m_dctx = ZSTD_createDCtx();
    if (!m_dctx)
        return fail(error, QStringLiteral("out of memory for the decoder"));
    if (!basePath.isEmpty()) {
        m_base.setFileName(basePath);
        if (!m_base.open(QIODevice::ReadOnly))
            return fail(error, QStringLiteral("cannot read the base %1: %2").arg(basePath, m_base.errorString()));
        const qint64 baseSize = m_base.size();
        if (baseSize > kMaxPatchedFileBytes)
            return fail(error, QStringLiteral("the base %1 is too large for a patch").arg(basePath));
        m_windowLogMax = deltaPatchWindowLog(baseSize);
        if (baseSize > 0) {
            m_baseMap = m_base.map(0, baseSize);
            if (!m_baseMap)
                return fail(error, QStringLiteral("cannot map the base %1: %2").arg(basePath, m_base.errorString()));
            // The base is referenced where it lies, not copied.
            const size_t result = ZSTD_DCtx_refPrefix(m_dctx, m_baseMap, size_t(baseSize));
            if (ZSTD_isError(result))
                return fail(error, QStringLiteral("patch: %1").arg(zstdText(result)));
        }
    }
    size_t result = ZSTD_DCtx_setParameter(m_dctx, ZSTD_d_windowLogMax, m_windowLogMax);
    if (!ZSTD_isError(result))
        result = ZSTD_DCtx_setParameter(m_dctx, ZSTD_d_stableOutBuffer, 1);
    if (ZSTD_isError(result))
        return fail(error, QStringLiteral("decoder: %1").arg(zstdText(result)));
    return true;
}

// The header states the output's size: the output is made that large and
// mapped, and the decoder writes into it directly.
bool DeltaDecoder::startFrame(QString &error)
{
    ZSTD_frameHeader header;
    const size_t result = ZSTD_getFrameHeader(&header, m_header.constData(), size_t(m_header.size()));
    if (ZSTD_isError(result))
        return fail(error, QStringLiteral("not a zstd object: %1").arg(zstdText(result)));
    if (result > 0)
        return true; // more header bytes to come
    if (header.frameType != ZSTD_frame || header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
        return fail(error, QStringLiteral("the object does not state its size"));
    if (header.frameContentSize > quint64(kMaxOutputBytes))
        return fail(error, QStringLiteral("the object states an implausible size"));
    if (header.windowSize > (quint64(1) << m_windowLogMax))
        return fail(error, QStringLiteral("the object needs a window larger than its base"));
    m_outputSize = qint64(header.frameContentSize);
    m_output.setFileName(m_outputPath);
    if (!m_output.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return fail(error, QStringLiteral("cannot write %1: %2").arg(m_outputPath, m_output.errorString()));
    if (m_outputSize > 0) {
        QString why;
        if (!reserve(m_output, m_outputSize, why))
            return fail(error, QStringLiteral("cannot write %1: %2").arg(m_outputPath, why));
        m_outputMap = m_output.map(0, m_outputSize);
        if (!m_outputMap)
            return fail(error, QStringLiteral("cannot map %1: %2").arg(m_outputPath, m_output.errorString()));
    }
    return true;
}

bool DeltaDecoder::feed(const char *data, qint64 size, QString &error)
{
    if (m_failed || !m_dctx)
        return fail(error, QStringLiteral("the decoder was not started"));
    m_input += size;
    if (m_input > m_maxInput)
        return fail(error, QStringLiteral("the object is longer than its index says"));
    if (m_outputSize >= 0)
        return decode(data, size, error);
    m_header.append(data, int(size));
    if (!startFrame(error))
        return false;
    if (m_outputSize < 0)
        return true;
    const QByteArray held = m_header;
    m_header.clear();
    return decode(held.constData(), held.size(), error);
}

bool DeltaDecoder::decode(const char *data, qint64 size, QString &error)
{
    ZSTD_inBuffer in = {data, size_t(size), 0};
    // The same buffer on every call, as a stable output requires.
    ZSTD_outBuffer out = {m_outputMap ? static_cast<void *>(m_outputMap) : &m_emptyOutput,
                          size_t(m_outputMap ? m_outputSize : 0), size_t(m_outputPos)};
    while (in.pos < in.size) {
        if (m_frameDone)
            return fail(error, QStringLiteral("data after the end of the object"));
        const size_t before = out.pos;
        const size_t inBefore = in.pos;
        const size_t result = ZSTD_decompressStream(m_dctx, &out, &in);
        if (ZSTD_isError(result))
            return fail(error, QStringLiteral("corrupt object: %1").arg(zstdText(result)));
        m_outputPos = qint64(out.pos);
        if (out.pos > before && m_sink) {
            QString why;
            if (!m_sink(reinterpret_cast<const char *>(out.dst) + before, qint64(out.pos - before), why))
                return fail(error, why);
        }
        m_frameDone = result == 0;
        if (!m_frameDone && out.pos == before && in.pos == inBefore)
            return fail(error, QStringLiteral("corrupt object: it decodes past its stated size"));
    }
    return true;
}

bool DeltaDecoder::finish(QString &error)
{
    if (m_failed || !m_dctx)
        return fail(error, QStringLiteral("the decoder was not started"));
    if (!m_frameDone || m_outputPos != m_outputSize)
        return fail(error, QStringLiteral("the object is cut short"));
    abort();
    return true;
}

#pragma once

#include <QFile>
#include <QString>

#include <functional>

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

// Turns a patch or a compressed copy, fed in pieces as it arrives, into the
// file it stands for. A patch refers to the installed file, read through a
// memory map; the output goes to a file of its own, also mapped, so neither
// file is held in the heap whatever its size. The frame's checksum and its
// stated size tell a wrong base or a cut object.
class DeltaDecoder
{
public:
    // Gets each run of decoded bytes once, in order; false stops decoding
    // with error set.
    using Sink = std::function<bool(const char *data, qint64 size, QString &error)>;

    DeltaDecoder();
    ~DeltaDecoder();
    DeltaDecoder(const DeltaDecoder &) = delete;
    DeltaDecoder &operator=(const DeltaDecoder &) = delete;

    // basePath: the file a patch applies to; empty for a compressed copy.
    // outputPath is created or emptied once the object states its size.
    // maxInput (> 0) bounds the bytes the object may have.
    bool begin(const QString &basePath, const QString &outputPath, qint64 maxInput, const Sink &sink,
               QString &error);
    bool feed(const char *data, qint64 size, QString &error);
    // True once the whole object was fed and decoded; closes the output.
    bool finish(QString &error);
    // Stops and closes the files; the output file stays as it is.
    void abort();

    qint64 decodedBytes() const { return m_outputPos; }
    // The size the object's header states, -1 until it was read.
    qint64 statedSize() const { return m_outputSize; }

private:
    bool startFrame(QString &error);
    bool decode(const char *data, qint64 size, QString &error);
    bool fail(QString &error, const QString &message);

    ZSTD_DCtx *m_dctx = nullptr;
    QFile m_base;
    QFile m_output;
    QString m_outputPath;
    Sink m_sink;
    uchar *m_baseMap = nullptr;
    uchar *m_outputMap = nullptr;
    char m_emptyOutput = 0;
    qint64 m_outputSize = -1; // from the frame header; -1 until it was read
    qint64 m_outputPos = 0;
    qint64 m_maxInput = 0;
    qint64 m_input = 0;
    int m_windowLogMax = 0;
    QByteArray m_header;
    bool m_frameDone = false;
    bool m_failed = false;
};

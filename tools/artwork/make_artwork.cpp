// Draws the dialog background (640 x 455 PNG) and the program icon (an
// .ico with 16, 24, 32, 48, 64 and 256 pixel images, 32-bit; the 256 one
// PNG-compressed as Windows expects).
//
//   make_artwork <bk.png> <logo.ico>

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

// A circular badge with an arrow pointing down into a tray.
void drawBadge(QPainter &p, const QRectF &box)
{
    const qreal s = box.width();
    QRadialGradient fill(box.center() - QPointF(s * 0.15, s * 0.2), s * 0.75);
    fill.setColorAt(0.0, QColor(0x4f, 0xb3, 0xff));
    fill.setColorAt(1.0, QColor(0x0b, 0x5c, 0xc4));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawEllipse(box.adjusted(s * 0.03, s * 0.03, -s * 0.03, -s * 0.03));

    const qreal x = box.left(), y = box.top();
    QPainterPath arrow;
    arrow.moveTo(x + s * 0.42, y + s * 0.18);
    arrow.lineTo(x + s * 0.58, y + s * 0.18);
    arrow.lineTo(x + s * 0.58, y + s * 0.45);
    arrow.lineTo(x + s * 0.72, y + s * 0.45);
    arrow.lineTo(x + s * 0.50, y + s * 0.68);
    arrow.lineTo(x + s * 0.28, y + s * 0.45);
    arrow.lineTo(x + s * 0.42, y + s * 0.45);
    arrow.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(arrow);

    QPen tray(Qt::white, s * 0.07, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(tray);
    p.setBrush(Qt::NoBrush);
    QPainterPath trayPath;
    trayPath.moveTo(x + s * 0.24, y + s * 0.62);
    trayPath.lineTo(x + s * 0.24, y + s * 0.78);
    trayPath.lineTo(x + s * 0.76, y + s * 0.78);
    trayPath.lineTo(x + s * 0.76, y + s * 0.62);
    p.drawPath(trayPath);
}

QImage background()
{
    QImage image(640, 455, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, 455);
    sky.setColorAt(0.0, QColor(0x1d, 0x6f, 0xd8));
    sky.setColorAt(0.45, QColor(0x7c, 0xbc, 0xf2));
    sky.setColorAt(0.46, QColor(0xf4, 0xf8, 0xfc));
    sky.setColorAt(1.0, QColor(0xe3, 0xed, 0xf7));
    p.fillRect(image.rect(), sky);

    // Soft waves where the blue top meets the light lower part.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        QPainterPath wave;
        const qreal base = 190 + i * 8;
        wave.moveTo(0, base);
        wave.cubicTo(160, base - 30 + i * 6, 420, base + 34 - i * 6, 640, base - 6);
        wave.lineTo(640, 215);
        wave.lineTo(0, 215);
        wave.closeSubpath();
        p.setBrush(QColor(255, 255, 255, 70 + i * 50));
        p.drawPath(wave);
    }

    // Faint rings behind the badge.
    p.setBrush(Qt::NoBrush);
    for (int r = 60; r <= 150; r += 30) {
        p.setPen(QPen(QColor(255, 255, 255, 60 - r / 4), 2));
        p.drawEllipse(QPointF(320, 95), r, r);
    }
    drawBadge(p, QRectF(272, 47, 96, 96));

    // A thin rule above the status text.
    p.setPen(QPen(QColor(0x1d, 0x6f, 0xd8, 90), 1));
    p.drawLine(24, 236, 616, 236);
    return image;
}

// Drawn at each size, not scaled down from one image, so the small ones
// stay crisp.
QImage icon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawBadge(p, QRectF(0, 0, size, size));
    return image;
}

// One uncompressed 32-bit image: the BITMAPINFOHEADER, the BGRA rows
// bottom-up and the 1-bit AND mask.
QByteArray bitmapEntry(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width(), h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;

    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint32(40) << qint32(w) << qint32(h * 2) << quint16(1) << quint16(32) << quint32(0)
      << quint32(w * h * 4 + maskStride * h) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            s << quint8(qBlue(row[x])) << quint8(qGreen(row[x])) << quint8(qRed(row[x]))
              << quint8(qAlpha(row[x]));
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QByteArray mask(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(row[x]) == 0)
                mask[x / 8] = char(mask.at(x / 8) | (0x80 >> (x % 8)));
        }
        s.writeRawData(mask.constData(), mask.size());
    }
    return out;
}

QByteArray pngEntry(const QImage &image)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return out;
}

// The directory, one 16-byte record per image (a size of 256 is written
// as 0), then the images in the same order.
QByteArray icoFile(const QList<QImage> &images)
{
    QList<QByteArray> entries;
    for (const QImage &image : images)
        entries.append(image.width() >= 256 ? pngEntry(image) : bitmapEntry(image));

    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * quint32(images.size());
    for (int i = 0; i < images.size(); ++i) {
        const int w = images.at(i).width(), h = images.at(i).height();
        s << quint8(w >= 256 ? 0 : w) << quint8(h >= 256 ? 0 : h) << quint8(0) << quint8(0) << quint16(1)
          << quint16(32) << quint32(entries.at(i).size()) << offset;
        offset += quint32(entries.at(i).size());
    }
    for (const QByteArray &entry : qAsConst(entries))
        s.writeRawData(entry.constData(), entry.size());
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_artwork <bk.png> <logo.ico>\n");
        return 2;
    }
    if (!background().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    QFile ico(QString::fromLocal8Bit(argv[2]));
    QList<QImage> images;
    for (const int size : {16, 24, 32, 48, 64, 256})
        images.append(icon(size));
    if (!ico.open(QIODevice::WriteOnly) || ico.write(icoFile(images)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

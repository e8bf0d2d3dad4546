#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

class QFontMetrics;

// Fitting the dialog and its texts on screen.

// text on one line, cut in the middle with "…" so that it takes at most
// width pixels in metrics' font. Line breaks become blanks.
QString elideDetail(const QString &text, const QFontMetrics &metrics, int width);

// Top left corner that centres a window of size in available (the part of
// a screen not taken by task bars).
QPoint centredTopLeft(const QRect &available, const QSize &size);

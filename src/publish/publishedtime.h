#pragma once

#include <QDateTime>
#include <QString>

// The Published= a signed publish writes. Clients refuse a release older
// than the one they installed, so the time never goes back on its own: a
// publishing machine whose clock is behind the root's current update.ini is
// refused, and the vendor names the time with --published instead (also to
// leave a bad time in the future behind).
//
// requested: the --published text, or empty for now. current: Published of
// the root's update.ini when this key signed it, else empty. now: this
// machine's clock. On success published holds the time to sign.
bool choosePublishedTime(const QString &requested, const QString &current, const QDateTime &now,
                         QString &published, QString &error);

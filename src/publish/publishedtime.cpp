#include "publishedtime.h"

#include "trust/releasesignature.h"

bool choosePublishedTime(const QString &requested, const QString &current, const QDateTime &now,
                         QString &published, QString &error)
{
    const QDateTime currentTime = parsePublishedTime(current);
    if (requested.isEmpty()) {
        const QString nowText = formatPublishedTime(now);
        // Compared as parsed times; a current value that does not parse was
        // never accepted by a client either.
        if (currentTime.isValid() && currentTime > parsePublishedTime(nowText)) {
            error = QStringLiteral("update.ini in SERVER_ROOT was published at %1, later than this machine's clock "
                                   "(%2); clients that installed it would refuse the new release as older. Set the "
                                   "clock right, or give the time with --published TIME")
                        .arg(current, nowText);
            return false;
        }
        published = nowText;
        return true;
    }
    const QDateTime requestedTime = parsePublishedTime(requested);
    if (!requestedTime.isValid()) {
        error = QStringLiteral("--published %1 is not a UTC time like 2026-12-08T21:30:00Z").arg(requested);
        return false;
    }
    if (requestedTime > now.toUTC().addSecs(kMaxPublishedAheadSecs)) {
        error = QStringLiteral("--published %1 lies more than 24 hours after this machine's clock (%2); clients "
                               "refuse such a release")
                    .arg(requested, formatPublishedTime(now));
        return false;
    }
    published = requested;
    return true;
}

#pragma once

#include <QObject>

// What the file queue tells whoever watches it. A separate object, so the
// dialog's own signals and slots stay those of the update itself.
class QueueNotifier : public QObject
{
    Q_OBJECT

signals:
    // A queue file was fetched and verified; done files are so far.
    void fileVerified(int done);
};

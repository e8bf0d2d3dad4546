#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <functional>

// The walk below a release's or an installation's root that collectFiles
// and the release tool's source scan share. Directory links are followed,
// except a link that leads back to a directory the walk is already inside.
struct TreeVisitor
{
    // Asked before a directory is listed, with its path; false leaves it
    // unlisted. Unset: every directory is listed.
    std::function<bool(const QString &path)> enterDirectory;
    // Called for every listed entry in listing order; for a directory, true
    // walks into it right away.
    std::function<bool(const QFileInfo &entry, const QString &relativePath)> visitEntry;
};

// Walks root + relativePrefix; the listing holds files and directories
// without "." and "..", plus what extraFilters adds (hidden, system).
void walkTree(const QString &root, const QString &relativePrefix, QDir::Filters extraFilters,
              const TreeVisitor &visitor);

#include "deltaplan.h"

#include "manifest/pathsafety.h"

void setInstalledFiles(DeltaSources &sources, FileManifest installed)
{
    sources.installedByMd5.clear();
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        // The local manifest is ours, but a key that is not safe is never
        // opened; an unreadable file has no MD5 to match.
        if (it.value().size() != 32 || !isSafeManifestKey(it.key()))
            continue;
        const QString md5 = it.value().toLower();
        if (!sources.installedByMd5.contains(md5))
            sources.installedByMd5.insert(md5, it.key());
    }
    sources.installed = std::move(installed);
}

FilePlan planFile(const DeltaSources &sources, const QString &key, const QString &newMd5)
{
    FilePlan plan;
    if (!sources.active)
        return plan;
    const QString md5 = newMd5.toLower();
    const auto same = sources.installedByMd5.constFind(md5);
    if (same != sources.installedByMd5.cend()) {
        plan.kind = FilePlan::Kind::Reuse;
        plan.sourceKey = same.value();
        plan.sourceMd5 = md5;
        return plan;
    }
    QString localMd5 = sources.installed.value(key).toLower();
    if (localMd5.size() != 32 || !isSafeManifestKey(key))
        localMd5.clear();
    const DeltaChoice choice = chooseDelta(sources.index, md5, localMd5);
    if (choice.kind == DeltaChoice::Kind::Plain)
        return plan;
    plan.kind = choice.kind == DeltaChoice::Kind::Patch ? FilePlan::Kind::Patch : FilePlan::Kind::Copy;
    plan.objectPath = choice.path;
    plan.objectSize = choice.size;
    if (plan.kind == FilePlan::Kind::Patch) {
        plan.sourceKey = key;
        plan.sourceMd5 = localMd5;
    }
    return plan;
}

bool isUsableIndexName(const QString &name)
{
    if (name.isEmpty() || name.size() > 255 || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_'))
            || c.unicode() > 0x7f)
            return false;
    }
    return true;
}

QString transferCountsText(const TransferCounts &counts)
{
    return QStringLiteral("重用本地文件 %1 个（%2 字节），增量补丁 %3 个（%4 字节），压缩副本 %5 个（%6 字节），"
                          "完整下载 %7 个（%8 字节）")
        .arg(counts.reusedFiles)
        .arg(counts.reusedBytes)
        .arg(counts.patchedFiles)
        .arg(counts.patchedBytes)
        .arg(counts.copiedFiles)
        .arg(counts.copiedBytes)
        .arg(counts.downloadedFiles)
        .arg(counts.downloadedBytes)
        + QStringLiteral("，上次已下载 %1 个（%2 字节），续传 %3 个（已有 %4 字节，本次 %5 字节）")
              .arg(counts.keptFiles)
              .arg(counts.keptBytes)
              .arg(counts.resumedFiles)
              .arg(counts.resumedFromBytes)
              .arg(counts.resumedBytes);
}

#include "settingsstore.h"

#include "constants.h"
#include "fs/safefs.h"

#include <QCoreApplication>
#include <QSettings>
#include <memory>

SettingsStore::SettingsStore(const QString &path)
    : m_path(path)
{
    load();
}

SettingsStore &SettingsStore::instance()
{
    static SettingsStore store(QCoreApplication::applicationDirPath() + kSystemCfgFile);
    return store;
}

QString SettingsStore::value(const QString &key)
{
    auto it = m_values.find(key);
    if (it == m_values.end())
        it = m_values.insert(key, QString());
    return it.value();
}

void SettingsStore::setValue(const QString &key, const QString &value)
{
    m_values.insert(key, value);
    m_present.insert(key);
}

void SettingsStore::unsetValue(const QString &key)
{
    m_values.remove(key);
    m_present.remove(key);
}

void SettingsStore::load()
{
    // QSettings opens the path itself: it is checked first without waiting,
    // so a FIFO or device in its place is refused rather than read for ever.
    QString problem;
    const bool usable = checkRegularFile(m_path, problem) || !entryExists(m_path);
    if (!usable)
        m_loadError = QStringLiteral("无法读取配置文件:") + m_path + QStringLiteral("(") + problem + QStringLiteral(")");
    const auto settings = usable ? std::make_unique<QSettings>(m_path, QSettings::IniFormat) : nullptr;
    const auto text = [&settings](const QString &key) {
        return settings ? settings->value(kUpdateGroup + key, QVariant()).toString() : QString();
    };
    const QString url = text(kKeyUrl);
    const QString exeName = text(kKeyExeName);
    const QString startOnFailure = text(kKeyStartOnFailure);
    if (!m_values.contains(kKeyUrl))
        m_values.insert(kKeyUrl, url);
    if (!m_values.contains(kKeyExeName))
        m_values.insert(kKeyExeName, exeName);
    m_present.insert(kKeyUrl);
    m_present.insert(kKeyExeName);
    // Absent, they stay out of the map: nothing changes for such a client.
    for (const QString &optional : {kKeyCaFile, kKeyPublicKey, kKeyMaxDownloads, kKeyProxy, kKeyStartDelay, kKeyDeltas}) {
        if (settings && settings->contains(kUpdateGroup + optional)) {
            m_values.insert(optional, text(optional));
            m_present.insert(optional);
        }
    }
    if (!m_values.contains(kKeyStartOnFailure))
        m_values.insert(kKeyStartOnFailure, startOnFailure);
}

bool isEnabledSetting(const QString &text)
{
    const QString value = text.trimmed();
    return value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
        || value == QLatin1String("1");
}

#include "settingsstore.h"

#include "constants.h"

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
    auto settings = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
    const QString url = settings->value(kUpdateGroup + kKeyUrl, QVariant()).toString();
    const QString exeName = settings->value(kUpdateGroup + kKeyExeName, QVariant()).toString();
    const QString startOnFailure = settings->value(kUpdateGroup + kKeyStartOnFailure, QVariant()).toString();
    if (!m_values.contains(kKeyUrl))
        m_values.insert(kKeyUrl, url);
    if (!m_values.contains(kKeyExeName))
        m_values.insert(kKeyExeName, exeName);
    m_present.insert(kKeyUrl);
    m_present.insert(kKeyExeName);
    // Absent, they stay out of the map: nothing changes for such a client.
    for (const QString &optional : {kKeyCaFile, kKeyPublicKey, kKeyMaxDownloads, kKeyProxy}) {
        if (settings->contains(kUpdateGroup + optional)) {
            m_values.insert(optional, settings->value(kUpdateGroup + optional).toString());
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

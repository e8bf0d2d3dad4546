#pragma once

#include <QMap>
#include <QSet>
#include <QString>

// system.cfg, read once on first use. Only [Update] URL, ExeName and
// StartOnFailure, and the optional CaFile, PublicKey, MaxDownloads,
// Proxy, StartDelay and Deltas when present, are loaded; the file is never
// written and never read again during a run.
class SettingsStore
{
public:
    explicit SettingsStore(const QString &path);

    // The process-wide store on <application dir>/system.cfg.
    static SettingsStore &instance();

    // Unknown keys are inserted with an empty value, so every key ever asked
    // for stays in the map.
    QString value(const QString &key);

    // Replaces a loaded value in memory only. For code that drives the
    // updater in-process (tests, tools); the file is left alone.
    void setValue(const QString &key, const QString &value);
    // Drops an optional value again, as if the file did not have it.
    void unsetValue(const QString &key);

    // True when the file gave key a value, even an empty one: an optional
    // setting that is present but empty is not the same as none.
    bool isSet(const QString &key) const { return m_present.contains(key); }

    QString path() const { return m_path; }

    // Why the file could not be read although something stands at its
    // path (a FIFO, device, folder or link): null when it was read or is
    // simply missing. Then no value was loaded.
    QString loadError() const { return m_loadError; }

private:
    Q_DISABLE_COPY(SettingsStore)
    void load();

    QString m_path;
    QString m_loadError;
    QMap<QString, QString> m_values;
    QSet<QString> m_present;
};

// A yes/no setting: "true" (any case) or "1"; anything else, and a missing
// key, is no.
bool isEnabledSetting(const QString &text);

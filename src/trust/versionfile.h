#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// update.ini, the version file: the release tool writes it, the client
// fetches it, checks its signature and keeps it as the installed version's
// record. Both read it from its bytes, the way editors write it: UTF-8 with
// or without a byte-order mark, LF, CRLF or CR line ends, with or without a
// last line end, blanks around names, "=" and values. As in Qt's INI
// reader, lines starting with ";" are comments, "[ Name ]" opens a group,
// a value loses the double quotes around its parts and ends at a ";"
// outside them, a key given twice keeps its last value, and on Windows
// group and key names match in any letter case.
class VersionFile
{
public:
    static VersionFile parse(const QByteArray &bytes);
    // The file at path; empty when it cannot be read.
    static VersionFile read(const QString &path);

    // "Group/Key", e.g. "Version/Folder"; empty when absent.
    QString value(const QString &groupKey) const;
    bool contains(const QString &groupKey) const;

private:
    QHash<QString, QString> m_values;
};

// bytes with groupKey set to value, everything else byte for byte as it
// was: an earlier line of that key is dropped and the new one follows the
// group's last entry (a missing group is added at the end), with the line
// end the file uses. value is written as it is, so it must be plain text
// (letters, digits, "-", ":").
QByteArray withVersionFileValue(const QByteArray &bytes, const QString &groupKey, const QString &value);

// update.ini as an unsigned publish writes it: Manifest= is the SHA-256 of
// md5.txt, so any client can tell a cut or foreign manifest.
QByteArray versionFileBytes(const QString &folder, const QString &version, const QString &manifest);

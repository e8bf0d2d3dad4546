#pragma once

#include "filemanifest.h"

#include <QByteArray>
#include <QString>

// md5.txt as a release carries it: the release tool writes these bytes and
// the client reads them strictly.

// md5.txt as published: UTF-8 with a byte-order mark, "md5 TAB key LF" per
// entry in key order.
QByteArray manifestFileBytes(const FileManifest &manifest);

// Loads the server's md5.txt, which must be whole: every line is 32 hex
// digits, a TAB and a UTF-8 path starting with "/", ending in LF or CR LF.
// Blank lines, a leading UTF-8 byte-order mark and a last line without its
// end are allowed. On failure manifest is empty and error says why
// ("清单格式错误:<line>", "清单为空" or "无法读取文件:<path>").
bool readServerManifest(const QString &path, FileManifest &manifest, QString &error);

// The text of freedesktop desktop entries: reading their keys and quoting a program for Exec.
// Pure text; the login item reads and writes the files.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace nimbrel {

// The keys of the [Desktop Entry] group, values unescaped for the string type; the first
// occurrence of a key counts.
QMap<QString, QString> desktopEntryKeys(const QByteArray &contents);
// The Exec value for a program path: quoted and escaped as desktop entries require.
QString desktopExecValue(const QString &program);
// The program of an Exec value (its first argument, unquoted); empty when there is none.
QString programOfExecValue(const QString &exec);

} // namespace nimbrel

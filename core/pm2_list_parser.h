// Turns the output of `pm2 jlist` into PM2App records.
#pragma once

#include "core/pm2_app.h"

#include <QByteArrayView>
#include <QJsonArray>
#include <QList>
#include <QStringView>

#include <optional>

namespace nimbrel::PM2ListParser {

// The apps of one JSON document, in the array's order. Nothing when the bytes are not JSON at
// all; an empty list when the JSON is not an array of objects. Entries without a text "name"
// are skipped; every other missing or mistyped field takes its default.
std::optional<QList<PM2App>> parse(QByteArrayView data);

// The apps of an array already read (pm2's daemon sends the list inside its reply). Nothing when
// an element is not an object; entries are read as `parse` reads them.
std::optional<QList<PM2App>> fromArray(const QJsonArray &entries);

// The apps in the whole text pm2 printed. pm2 may print coloured notices before the array (while
// it spawns its daemon, or when the daemon runs another pm2 version), and those hold "[" too, so
// when the span from the first "[" to the last "]" does not parse, the last line that parses as
// a JSON array is read instead: pm2 prints the array as its last line. Nothing when no list can
// be read at all (pm2 printed only an error, or nothing): that is not an empty pm2.
std::optional<QList<PM2App>> parseOutput(QStringView output);

} // namespace nimbrel::PM2ListParser

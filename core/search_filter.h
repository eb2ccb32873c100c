// Whether a server row passes the panel's search text.
#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <cstdint>

namespace nimbrel::SearchFilter {

// Every white-space-separated token of `query` must occur in "name port port ...", compared
// case-insensitively with full-width letters and digits read as ASCII. An empty query matches.
bool matches(QStringView query, QStringView name, const QList<int64_t> &ports);

// Full-width ASCII forms (U+FF01..U+FF5E) and the ideographic space become their ASCII
// counterparts; then lower case.
QString normalized(QStringView text);

} // namespace nimbrel::SearchFilter

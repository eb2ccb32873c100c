// The pure half of reading an app's logs: where the last lines of a file's tail begin, the time
// pm2 wrote before a line, and the out and err tails joined into one list.
#pragma once

#include "core/ansi_text.h"

#include <QByteArrayView>
#include <QList>
#include <QStringView>

#include <optional>

namespace nimbrel::LogTail {

// The offset in `block` (the last bytes of a file) where its last `count` lines begin. A final
// newline ends the last line. When the block holds fewer lines and is not the file's start, its
// first line is only a piece and is left out (unless it is the only line there is).
qsizetype startOfLastLines(QByteArrayView block, int count, bool blockIsFileStart);

// The time pm2 put before `line` ("2024-05-01 12:00:00: text" with the app's log_date_format
// "YYYY-MM-DD HH:mm:ss"), in milliseconds on one scale for comparison; nothing when the line
// does not begin with a time of that format.
std::optional<int64_t> timestampOf(QStringView line, QStringView format);

// Out's and err's tails as one list. With a date format and times in the lines they are merged
// by time (a line without a time of its own keeps the one before it; out first on ties);
// otherwise err's lines follow out's.
QList<StyledLine> interleave(QList<StyledLine> out, QList<StyledLine> err,
                             std::optional<QStringView> format);

} // namespace nimbrel::LogTail

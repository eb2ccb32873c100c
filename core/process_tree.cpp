#include "core/process_tree.h"

#include "core/text_numbers.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>
#include <limits>

namespace nimbrel {

namespace {

bool isHorizontalSpace(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QStringView trimmedHorizontal(QStringView text)
{
    while (!text.isEmpty() && isHorizontalSpace(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isHorizontalSpace(text.back()))
        text.chop(1);
    return text;
}

// Up to four space-separated fields, then the rest of the line as it stands.
qsizetype splitFields(QStringView line, QStringView (&fields)[5])
{
    qsizetype count = 0;
    qsizetype at = 0;
    const qsizetype size = line.size();
    while (count < 4) {
        while (at < size && line[at] == u' ')
            ++at;
        if (at == size)
            return count;
        const qsizetype start = at;
        while (at < size && line[at] != u' ')
            ++at;
        fields[count++] = line.sliced(start, at - start);
    }
    if (at < size) // `at` is the space that ended the fourth field
        fields[count++] = line.sliced(at + 1);
    return count;
}

std::optional<ProcessRow> rowFrom(QStringView line)
{
    QStringView fields[5];
    const qsizetype count = splitFields(line, fields);
    if (count < 4)
        return std::nullopt;
    const auto pid = strictInteger(fields[0]);
    const auto ppid = strictInteger(fields[1]);
    const auto kib = strictInteger(fields[2]);
    int64_t bytes = 0;
    if (!pid || !ppid || !kib || __builtin_mul_overflow(*kib, int64_t(1024), &bytes))
        return std::nullopt;
    ProcessRow row;
    row.pid = *pid;
    row.ppid = *ppid;
    row.residentBytes = bytes;
    row.cpuSeconds = ProcessTree::parseCPUTime(fields[3]);
    if (count == 5)
        row.command = trimmedHorizontal(fields[4]).toString();
    return row;
}

// The last non-empty part between slashes; empty for a text of slashes only.
QStringView lastPathComponent(QStringView piece)
{
    while (piece.endsWith(u'/'))
        piece.chop(1);
    return piece.sliced(piece.lastIndexOf(u'/') + 1);
}

QString truncatedToGraphemes(const QString &text, qsizetype limit)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    qsizetype cutAt = -1;
    while (graphemes.toNextBoundary() >= 0) {
        ++count;
        if (count == limit - 1)
            cutAt = graphemes.position();
        if (count > limit)
            return text.left(cutAt) + QChar(0x2026);
    }
    return text;
}

} // namespace

QString ProcessRow::label() const
{
    const auto pieces = QStringView(command).tokenize(u' ', Qt::SkipEmptyParts);
    QStringList kept;
    int taken = 0;
    for (QStringView piece : pieces) {
        if (taken++ == 4)
            break;
        if (piece.contains(u'/'))
            piece = lastPathComponent(piece);
        if (!piece.isEmpty() && kept.size() < 3)
            kept.append(piece.toString());
    }
    if (kept.isEmpty()) // no pieces, or only slashes: nothing to show
        return QStringLiteral("(不明)");
    return truncatedToGraphemes(kept.join(u' '), 42);
}

namespace ProcessTree {

const Usage &Usage::zero()
{
    static const Usage empty;
    return empty;
}

QList<ProcessRow> parse(QStringView text)
{
    QList<ProcessRow> rows;
    bool header = true;
    for (QStringView line : text.tokenize(u'\n', Qt::SkipEmptyParts)) {
        if (std::exchange(header, false))
            continue; // the column header, never read as data
        if (auto row = rowFrom(line))
            rows.append(std::move(*row));
    }
    return rows;
}

double parseCPUTime(QStringView text)
{
    double days = 0;
    if (const qsizetype hyphen = text.indexOf(u'-'); hyphen >= 0) {
        days = strictDecimal(text.first(hyphen)).value_or(0.0) * 86400;
        text = text.sliced(hyphen + 1);
    }
    double folded = 0;
    for (QStringView piece : text.tokenize(u':', Qt::SkipEmptyParts))
        folded = folded * 60 + strictDecimal(piece).value_or(0.0);
    const double seconds = days + folded;
    // Garbage can fold to infinity; no CPU time is infinite.
    return std::isfinite(seconds) ? seconds : 0.0;
}

Index::Index(QList<ProcessRow> rows) : rows_(std::move(rows))
{
    children_.reserve(rows_.size());
    byPid_.reserve(rows_.size());
    for (qsizetype i = 0; i < rows_.size(); ++i) {
        children_[rows_[i].ppid].push_back(i);
        byPid_.insert(rows_[i].pid, i); // a later row with the same pid replaces an earlier one
    }
}

std::vector<qsizetype> Index::walk(int64_t rootPID, QSet<int64_t> *visited) const
{
    std::vector<qsizetype> taken;
    const auto root = byPid_.constFind(rootPID);
    if (root == byPid_.constEnd())
        return taken;
    // Depth first with an explicit stack; the visited set ends loops of parents and counts a
    // pid once however many rows carry it.
    std::vector<qsizetype> stack{*root};
    while (!stack.empty()) {
        const qsizetype at = stack.back();
        stack.pop_back();
        const int64_t pid = rows_[at].pid;
        if (visited->contains(pid))
            continue;
        visited->insert(pid);
        taken.push_back(at);
        if (const auto kids = children_.constFind(pid); kids != children_.constEnd())
            stack.insert(stack.end(), kids->begin(), kids->end());
    }
    return taken;
}

QList<ProcessRow> Index::members(int64_t rootPID) const
{
    QSet<int64_t> visited;
    QList<ProcessRow> tree;
    for (const qsizetype at : walk(rootPID, &visited))
        tree.append(rows_[at]);
    std::stable_sort(tree.begin(), tree.end(), [](const ProcessRow &a, const ProcessRow &b) {
        return a.residentBytes > b.residentBytes;
    });
    return tree;
}

Usage Index::usage(int64_t rootPID) const
{
    Usage total;
    const std::vector<qsizetype> taken = walk(rootPID, &total.pids);
    for (const qsizetype at : taken) {
        total.residentBytes = saturatingAdd(total.residentBytes, rows_[at].residentBytes);
        total.cpuSeconds += rows_[at].cpuSeconds;
    }
    return total;
}

QList<ProcessRow> members(int64_t rootPID, const QList<ProcessRow> &rows)
{
    return Index(rows).members(rootPID);
}

Usage usage(int64_t rootPID, const QList<ProcessRow> &rows)
{
    return Index(rows).usage(rootPID);
}

} // namespace ProcessTree

} // namespace nimbrel

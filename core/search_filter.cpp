#include "core/search_filter.h"

namespace nimbrel::SearchFilter {

QString normalized(QStringView text)
{
    QString result = text.toString();
    for (QChar &c : result) {
        const char16_t code = c.unicode();
        if (code >= 0xFF01 && code <= 0xFF5E)
            c = QChar(char16_t(code - 0xFEE0));
        else if (code == 0x3000)
            c = QChar(u' ');
    }
    return result.toLower();
}

bool matches(QStringView query, QStringView name, const QList<int64_t> &ports)
{
    QList<QString> tokens;
    qsizetype start = -1;
    for (qsizetype i = 0; i <= query.size(); ++i) {
        // QChar::isSpace is Unicode's White_Space: tabs, line breaks, U+3000 and the rest.
        const bool space = i == query.size() || query[i].isSpace();
        if (!space && start < 0)
            start = i;
        if (space && start >= 0) {
            tokens.append(normalized(query.sliced(start, i - start)));
            start = -1;
        }
    }
    if (tokens.isEmpty())
        return true;

    QString searched = normalized(name);
    for (const int64_t port : ports)
        searched += u' ' + QString::number(port);
    for (const QString &token : std::as_const(tokens)) {
        if (!searched.contains(token))
            return false;
    }
    return true;
}

} // namespace nimbrel::SearchFilter

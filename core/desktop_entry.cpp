#include "core/desktop_entry.h"

namespace nimbrel {

// The keys of the [Desktop Entry] group, values unescaped for the string type.
QMap<QString, QString> desktopEntryKeys(const QByteArray &contents)
{
    QMap<QString, QString> keys;
    bool inEntryGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inEntryGroup = line == u"[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inEntryGroup || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (keys.contains(key))
            continue; // the first occurrence counts
        QString value;
        const QString raw = line.mid(equals + 1).trimmed();
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw[i] != u'\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            const QChar next = raw[++i];
            value += next == u's'   ? QChar(u' ')
                     : next == u'n' ? QChar(u'\n')
                     : next == u't' ? QChar(u'\t')
                     : next == u'r' ? QChar(u'\r')
                                    : next;
        }
        keys.insert(key, value);
    }
    return keys;
}

QString desktopExecValue(const QString &program)
{
    // Inside the quotes ", `, $ and \ take a backslash; then the whole value is a string value,
    // where a backslash is itself escaped; and % is the field-code marker.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';

    QString value;
    for (const QChar c : quoted) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'%')
            value += QStringLiteral("%%");
        else
            value += c;
    }
    return value;
}

QString programOfExecValue(const QString &exec)
{
    // `exec` has already lost its string-level escapes; what is left is the quoting of arguments.
    QString program;
    qsizetype i = 0;
    while (i < exec.size() && exec[i].isSpace())
        ++i;
    if (i < exec.size() && exec[i] == u'"') {
        for (++i; i < exec.size() && exec[i] != u'"'; ++i) {
            if (exec[i] == u'\\' && i + 1 < exec.size())
                ++i;
            program += exec[i];
        }
    } else {
        for (; i < exec.size() && !exec[i].isSpace(); ++i)
            program += exec[i];
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

} // namespace nimbrel

#include "core/port_probe.h"

#include "core/text_numbers.h"

#include <QVarLengthArray>

namespace nimbrel::PortProbe {

namespace {

using Fields = QVarLengthArray<QStringView, 12>;

Fields fieldsOf(QStringView line)
{
    Fields fields;
    for (QStringView field : line.tokenize(u' ', Qt::SkipEmptyParts))
        fields.append(field);
    return fields;
}

std::optional<int64_t> integerAfterLast(QStringView text, QChar separator)
{
    const qsizetype at = text.lastIndexOf(separator);
    if (at < 0 || at + 1 == text.size())
        return std::nullopt;
    return strictInteger(text.sliced(at + 1));
}

} // namespace

std::optional<int64_t> port(QStringView address)
{
    if (auto value = integerAfterLast(address, u':'))
        return value;
    return integerAfterLast(address, u'.');
}

ListeningPorts listeningPorts(QStringView lsofOutput)
{
    ListeningPorts ports;
    bool header = true;
    for (QStringView line : lsofOutput.tokenize(u'\n', Qt::SkipEmptyParts)) {
        if (std::exchange(header, false))
            continue;
        const Fields fields = fieldsOf(line);
        if (fields.size() < 2)
            continue;
        const auto pid = strictInteger(fields[1]);
        if (!pid)
            continue;
        qsizetype address = fields.size() - 1;
        if (fields[address] == u"(LISTEN)")
            --address; // the NAME column stands before the state
        if (const auto listening = port(fields[address]))
            ports[*pid].insert(*listening);
    }
    return ports;
}

EstablishedCounts establishedCounts(QStringView netstatOutput)
{
    EstablishedCounts counts;
    for (QStringView line : netstatOutput.tokenize(u'\n', Qt::SkipEmptyParts)) {
        if (!line.contains(u"ESTABLISHED"))
            continue;
        const Fields fields = fieldsOf(line);
        if (fields.size() < 5)
            continue;
        // Protocol, receive queue, send queue, local address, foreign address, state.
        if (const auto local = port(fields[3]))
            ++counts[*local];
    }
    return counts;
}

} // namespace nimbrel::PortProbe

#include "core/proc_files.h"

#include <QVarLengthArray>

#include <algorithm>

#include <charconv>
#include <cstring>
#include <limits>

namespace nimbrel::ProcFiles {

namespace {

template <typename Number> std::optional<Number> number(QByteArrayView text, int base = 10)
{
    Number value{};
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.isEmpty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

using Fields = QVarLengthArray<QByteArrayView, 24>;

// At most `limit` space-separated fields: stat has 52, a tcp line about 17.
Fields fieldsOf(QByteArrayView text, qsizetype limit)
{
    Fields fields;
    qsizetype at = 0;
    while (fields.size() < limit) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\n'))
            ++at;
        if (at == text.size())
            break;
        const qsizetype start = at;
        while (at < text.size() && text[at] != ' ' && text[at] != '\n')
            ++at;
        fields.append(text.sliced(start, at - start));
    }
    return fields;
}

} // namespace

std::optional<Stat> parseStat(QByteArrayView text)
{
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 1 || close < open)
        return std::nullopt;
    // After ")": state (field 3), ppid (4), ... utime (14), stime (15), ... starttime (22).
    const Fields fields = fieldsOf(text.sliced(close + 1), 20);
    if (fields.size() < 20)
        return std::nullopt;
    const auto pid = number<int64_t>(text.first(open).trimmed());
    const auto ppid = number<int64_t>(fields[1]);
    const auto utime = number<int64_t>(fields[11]);
    const auto stime = number<int64_t>(fields[12]);
    const auto started = number<int64_t>(fields[19]);
    if (!pid || !ppid || !utime || !stime || !started || *utime < 0 || *stime < 0 ||
        *utime > std::numeric_limits<int64_t>::max() - *stime)
        return std::nullopt;
    return Stat{.pid = *pid,
                .ppid = *ppid,
                .comm = text.sliced(open + 1, close - open - 1),
                .cpuTicks = *utime + *stime,
                .startTicks = *started};
}

QString commandLine(QByteArrayView cmdline, QByteArrayView comm)
{
    QByteArray text = cmdline.toByteArray();
    for (char &c : text) {
        if (c == '\0')
            c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    const QString command = QString::fromUtf8(text).trimmed();
    if (!command.isEmpty())
        return command;
    return u'[' + QString::fromUtf8(comm) + u']';
}

std::optional<int64_t> residentPages(QByteArrayView statm)
{
    const Fields fields = fieldsOf(statm, 2);
    return fields.size() < 2 ? std::nullopt : number<int64_t>(fields[1]);
}

std::optional<ProcessRow> row(QByteArrayView stat, QByteArrayView statm, QByteArrayView cmdline,
                              int64_t ticksPerSecond, int64_t pageSize)
{
    const std::optional<Stat> read = parseStat(stat);
    if (!read)
        return std::nullopt;
    return row(*read, statm, cmdline, ticksPerSecond, pageSize);
}

std::optional<ProcessRow> row(const Stat &stat, QByteArrayView statm, QByteArrayView cmdline,
                              int64_t ticksPerSecond, int64_t pageSize)
{
    const std::optional<int64_t> pages = residentPages(statm);
    if (!pages || ticksPerSecond <= 0 || pageSize <= 0 || *pages < 0 ||
        *pages > std::numeric_limits<int64_t>::max() / pageSize)
        return std::nullopt;
    return ProcessRow{.pid = stat.pid,
                      .ppid = stat.ppid,
                      .residentBytes = *pages * pageSize,
                      .cpuSeconds = double(stat.cpuTicks) / double(ticksPerSecond),
                      .command = commandLine(cmdline, stat.comm)};
}

PM2Marks pm2Marks(QByteArrayView environ)
{
    PM2Marks marks;
    qsizetype start = 0;
    while (start < environ.size()) {
        qsizetype end = environ.indexOf('\0', start);
        if (end < 0)
            end = environ.size();
        const QByteArrayView entry = environ.sliced(start, end - start);
        start = end + 1;
        if (entry.startsWith("PM2_HOME="))
            marks.home = entry.sliced(9);
        else if (entry.startsWith("name="))
            marks.name = entry.sliced(5);
        else if (entry.startsWith("pm_id="))
            marks.pmId = number<int64_t>(entry.sliced(6));
    }
    return marks;
}

QList<int64_t> childPids(QByteArrayView children)
{
    QList<int64_t> pids;
    for (const QByteArrayView word : fieldsOf(children, std::numeric_limits<qsizetype>::max())) {
        const auto pid = number<int64_t>(word);
        if (!pid || *pid <= 0)
            break;
        pids.append(*pid);
    }
    return pids;
}

std::optional<uint64_t> socketInode(QByteArrayView linkTarget)
{
    constexpr QByteArrayView prefix = "socket:[";
    if (!linkTarget.startsWith(prefix) || !linkTarget.endsWith(']'))
        return std::nullopt;
    return number<uint64_t>(
        linkTarget.sliced(prefix.size(), linkTarget.size() - prefix.size() - 1));
}

bool ListenAddress::isWildcard() const
{
    return std::all_of(bytes.begin(), bytes.begin() + (v6 ? 16 : 4), [](uint8_t b) { return !b; });
}

bool ListenAddress::isLoopback() const
{
    if (!v6)
        return bytes[0] == 127;
    constexpr std::array<uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return bytes == loopback;
}

std::optional<ListenAddress> listenAddress(QByteArrayView local)
{
    const qsizetype colon = local.indexOf(':');
    if (colon != 8 && colon != 32)
        return std::nullopt;
    const auto port = number<int64_t>(local.sliced(colon + 1), 16);
    if (!port || *port > 65535)
        return std::nullopt;
    ListenAddress address{.v6 = colon == 32, .port = *port};
    for (qsizetype word = 0; word * 8 < colon; ++word) {
        // The kernel prints each word as a number: in memory again, it is in network order.
        const auto value = number<uint32_t>(local.sliced(word * 8, 8), 16);
        if (!value)
            return std::nullopt;
        std::memcpy(address.bytes.data() + word * 4, &*value, 4);
    }
    return address;
}

void addTcpTable(QByteArrayView text, TcpSockets &sockets)
{
    constexpr QByteArrayView listen = "0A";
    constexpr QByteArrayView established = "01";
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = text.sliced(start, end - start);
        start = end + 1;

        // sl, local_address, rem_address, st, tx:rx, tr:when, retrnsmt, uid, timeout, inode.
        const Fields fields = fieldsOf(line, 10);
        if (fields.size() < 10 || (fields[3] != listen && fields[3] != established))
            continue;
        const QByteArrayView local = fields[1];
        const qsizetype colon = local.lastIndexOf(':');
        const auto port = colon < 0 ? std::nullopt : number<int64_t>(local.sliced(colon + 1), 16);
        if (!port)
            continue;
        if (fields[3] == established) {
            ++sockets.establishedCounts[*port];
        } else if (const auto inode = number<uint64_t>(fields[9]); inode && *inode != 0) {
            sockets.listening.insert(*inode, *port);
            if (const auto address = listenAddress(local))
                sockets.addresses.insert(*inode, *address);
        }
    }
}

bool isPid(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

} // namespace nimbrel::ProcFiles

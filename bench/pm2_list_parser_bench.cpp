// Parsing the list of a busy pm2: 100 apps, each with an environment the size real ones have.
#include "core/pm2_list_parser.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

namespace {

// About 6 KB an app, mostly the environment pm2 copies into every entry.
QByteArray hundredApps()
{
    QFile file(QStringLiteral(NIMBREL_FIXTURES "/jlist_three_apps.json"));
    file.open(QIODevice::ReadOnly);
    const QJsonObject model = QJsonDocument::fromJson(file.readAll()).array().first().toObject();
    QJsonArray apps;
    for (int i = 0; i < 100; ++i) {
        QJsonObject app = model;
        QJsonObject env = app.value(u"pm2_env").toObject();
        QJsonObject variables = env.value(u"env").toObject();
        for (int v = 0; v < 35; ++v)
            variables.insert(QStringLiteral("VARIABLE_%1").arg(v),
                             QString(90, QChar(u'a' + v % 26)));
        env.insert(u"env", variables);
        env.insert(u"name", QStringLiteral("app-%1").arg(i));
        app.insert(u"pm2_env", env);
        app.insert(u"name", QStringLiteral("app-%1").arg(i));
        app.insert(u"pid", 1000 + i);
        apps.append(app);
    }
    return QJsonDocument(apps).toJson(QJsonDocument::Compact);
}

void parseHundredApps(benchmark::State &state)
{
    const QByteArray list = hundredApps();
    for (auto _ : state)
        benchmark::DoNotOptimize(nimbrel::PM2ListParser::parse(list));
    state.SetBytesProcessed(state.iterations() * list.size());
    state.counters["bytes"] = double(list.size());
}
BENCHMARK(parseHundredApps)->Name("PM2ListParser.parse 100 apps")->Unit(benchmark::kMillisecond);

// The whole output as pm2 prints it while its daemon runs another version: notices first, so
// the first slice fails and the last line is parsed.
void parseOutputAfterNotices(benchmark::State &state)
{
    const QString output =
        QStringLiteral("\x1b[31m>>>> In-memory PM2 is out-of-date, do:\x1b[39m\n") +
        QString::fromUtf8(hundredApps()) + u'\n';
    for (auto _ : state)
        benchmark::DoNotOptimize(nimbrel::PM2ListParser::parseOutput(output));
}
BENCHMARK(parseOutputAfterNotices)
    ->Name("PM2ListParser.parseOutput 100 apps after notices")
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

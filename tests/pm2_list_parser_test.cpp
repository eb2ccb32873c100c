// The pm2 list: captured real `pm2 jlist` output, single entries with missing or mistyped fields,
// and the notices pm2 prints around its JSON.
#include "core/pm2_list_parser.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

using namespace nimbrel;
using Status = PM2App::Status;

TEST(PM2ListParser, fieldsMissingOrOfAnotherTypeTakeTheirDefaultsAndOnlyAListOfAppsCounts)
{
    // Fields of an entry named "a"; what is read. Numbers in text are no numbers.
    const std::pair<const char *, PM2App> cases[] = {
        {"", {}},
        {R"("pid":0,"pm_id":3,)", {.pmId = 3}},
        {R"("pid":"123","pm_id":"4",)", {}},
        {R"("pm_id":1.5,"pid":7.0,)", {.pid = 7}},
        {R"("pm_id":9007199254740993,"pid":1e3,)", {.pmId = 9007199254740993, .pid = 1000}},
        {R"("pm2_env":"online","monit":[1],)", {}},
        {R"("pm2_env":{"status":"stopped","pm_uptime":1,"restart_time":4},)",
         {.status = Status::stopped, .restarts = 4}}, // pm2 keeps pm_uptime for stopped apps
        {R"("pm2_env":{"status":"online","pm_uptime":1500},)",
         {.status = Status::online, .uptime = instantFromEpochSeconds(1.5)}},
        {R"("pm2_env":{"status":"launching","pm_uptime":2000},)",
         {.status = Status::launching, .uptime = instantFromEpochSeconds(2)}},
        {R"("pm2_env":{"status":"online","pm_uptime":"1500"},)", {.status = Status::online}},
        {R"("pm2_env":{"status":"Online"},)", {}},
        {R"("pm2_env":{"status":"stopping","pm_cwd":"/a"},"monit":{"memory":1073741824},)",
         {.status = Status::stopping, .reportedMemory = 1073741824, .cwd = "/a"}},
        {R"("pm2_env":{"pm_cwd":42},"monit":{"memory":"12"},)", {}},
        {R"("pm2_env":{"pm_out_log_path":"/o","pm_err_log_path":"/dev/null","pm_log_path":"/c",)"
         R"("log_date_format":"HH:mm"},)",
         {.outLogPath = "/o", .combinedLogPath = "/c", .logDateFormat = "HH:mm"}},
        {R"("pm2_env":{"pm_out_log_path":"/dev/null","pm_log_path":"","log_date_format":""},)", {}},
    };
    for (auto [entry, expected] : cases) {
        expected.name = QStringLiteral("a");
        const auto apps = PM2ListParser::parse(QByteArray("[{") + entry + R"("name":"a"}])");
        EXPECT_EQ(apps, QList<PM2App>{expected}) << entry;
    }
    // The number of apps; -1: not JSON at all. One entry that is no object spoils the list.
    const std::pair<const char *, qsizetype> documents[] = {
        {R"({"name":"a"})", 0},
        {R"([{"name":"a"}, 3])", 0},
        {R"([{"name":"a"}, {"pid": 3}, {"name": 7}, {"name":"b"}])", 2},
        {"[{\"name\":\"a\"}", -1}};
    for (const auto &[json, count] : documents) {
        const auto apps = PM2ListParser::parse(QByteArray(json));
        EXPECT_EQ(apps ? apps->size() : -1, count) << json;
    }
}

TEST(PM2ListParser, readsCapturedRealListsAmongPM2sNotices)
{
    const auto fixture = [](const char *name) {
        return QString::fromUtf8(test::readFile(NIMBREL_FIXTURES "/" + QLatin1String(name)));
    };
    const QString list = fixture("jlist_three_apps.json");
    const QList<PM2App> apps = PM2ListParser::parseOutput(list).value_or(QList<PM2App>{});
    ASSERT_EQ(apps.size(), 3);
    // Name, pm_id, pid, status, memory, cwd, start, restarts.
    EXPECT_EQ(apps[0], (PM2App{"shop-api", 0, 2484, Status::online, 52518912, "/home/dev/shop",
                               instantFromEpochSeconds(1796539968.319), 0,
                               "/home/dev/pm2/logs/shop-api-out.log",
                               "/home/dev/pm2/logs/shop-api-error.log"}));
    EXPECT_EQ(apps[2].status, Status::errored);
    const std::pair<QString, qsizetype> cases[] = {
        {list, 3},
        {fixture("jlist_cold_start.txt"), 0},       // banner and spawn notices, then "[]"
        {fixture("jlist_version_mismatch.txt"), 3}, // coloured warnings before the list
        {list + "\n\x1b[33m[PM2][WARN]\x1b[39m done\n", 3},
        {"[PM2] x\r\n" + list + "\r\n", 3},
        {"[PM2] error [code 1]\n", -1}, // no list at all: not an empty pm2
        {"[PM2] x " + list, -1}};       // a notice and the list on one line
    for (const auto &[output, count] : cases) {
        const auto found = PM2ListParser::parseOutput(output);
        EXPECT_EQ(found ? found->size() : -1, count) << output.left(200).toStdString();
    }
}

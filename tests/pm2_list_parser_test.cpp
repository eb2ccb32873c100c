// The pm2 list: captured real `pm2 jlist` output, single entries with missing or mistyped fields,
// and the notices pm2 prints around its JSON.
#include "core/pm2_list_parser.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

using namespace nimbrel;
using Status = PM2App::Status;

TEST(PM2ListParser, readsCapturedRealList)
{
    const auto apps =
        PM2ListParser::parse(test::readFile(NIMBREL_FIXTURES "/jlist_three_apps.json"));
    ASSERT_TRUE(apps);
    ASSERT_EQ(apps->size(), 3);
    EXPECT_EQ(apps->at(0), (PM2App{.name = "shop-api",
                                   .pmId = 0,
                                   .pid = 2484,
                                   .status = Status::online,
                                   .reportedMemory = 52518912,
                                   .cwd = "/home/dev/shop",
                                   .uptime = instantFromEpochSeconds(1796539968.319),
                                   .restarts = 0}));
    // pm2 keeps pm_uptime for stopped apps too.
    EXPECT_EQ(
        apps->at(1),
        (PM2App{
            .name = "shop-web", .pmId = 1, .status = Status::stopped, .cwd = "/home/dev/shop"}));
    EXPECT_EQ(apps->at(2).status, Status::errored);
    EXPECT_EQ(apps->at(2).pmId, 2);
}

TEST(PM2ListParser, fieldsThatAreMissingOrOfAnotherTypeTakeTheirDefaults)
{
    const QString a = QStringLiteral("a");
    const std::pair<const char *, PM2App> cases[] = {
        {R"({"name":"a"})", {.name = a}},
        {R"({"name":"a","pid":0,"pm_id":3})", {.name = a, .pmId = 3}},
        {R"({"name":"a","pid":-5})", {.name = a}},
        {R"({"name":"a","pid":"123","pm_id":"4"})", {.name = a}},
        {R"({"name":"a","pm_id":1.5,"pid":7.0})", {.name = a, .pid = 7}},
        {R"({"name":"a","pm_id":9007199254740993})", {.name = a, .pmId = 9007199254740993}},
        {R"({"name":"a","pm2_env":"online","monit":[1]})", {.name = a}},
        {R"({"name":"a","pm2_env":{"status":"stopped","pm_uptime":1000,"restart_time":4}})",
         {.name = a, .status = Status::stopped, .restarts = 4}},
        {R"({"name":"a","pm2_env":{"status":"online","pm_uptime":1500}})",
         {.name = a, .status = Status::online, .uptime = instantFromEpochSeconds(1.5)}},
        {R"({"name":"a","pm2_env":{"status":"launching","pm_uptime":"1500"}})",
         {.name = a, .status = Status::launching}},
        {R"({"name":"a","pm2_env":{"status":"Online"}})", {.name = a}},
        {R"({"name":"a","pm2_env":{"status":"stopping","pm_cwd":"/a"},"monit":{"memory":1073741824}})",
         {.name = a, .status = Status::stopping, .reportedMemory = 1073741824, .cwd = "/a"}},
        {R"({"name":"a","pm2_env":{"pm_cwd":42},"monit":{"memory":"12"}})", {.name = a}},
        {R"({"name":"日本語 app","pid":1e3})", {.name = "日本語 app", .pid = 1000}},
    };
    for (const auto &[entry, expected] : cases) {
        const auto apps = PM2ListParser::parse(QByteArray("[") + entry + "]");
        EXPECT_EQ(apps, QList<PM2App>{expected}) << entry;
    }
}

TEST(PM2ListParser, documentsThatAreNotAListOfAppsGiveNothing)
{
    // The number of apps; -1: not JSON at all. One entry that is no object spoils the list.
    const std::pair<const char *, qsizetype> cases[] = {
        {"[]", 0},
        {R"({"name":"a"})", 0},
        {R"([{"name":"a"}, 3])", 0},
        {R"([{"name":"a"}, {"pid": 3}, {"name": 7}, {"name":"b"}])", 2},
        {"", -1},
        {"[{\"name\":\"a\"}", -1},
        {"\xff\xfe[]", -1}};
    for (const auto &[json, count] : cases) {
        const auto apps = PM2ListParser::parse(QByteArray(json));
        EXPECT_EQ(apps ? apps->size() : -1, count) << json;
    }
}

TEST(PM2ListParser, findsTheListAmongPm2sNotices)
{
    const auto fixture = [](const char *name) {
        return QString::fromUtf8(test::readFile(NIMBREL_FIXTURES "/" + QLatin1String(name)));
    };
    const QString list = fixture("jlist_three_apps.json");
    const std::pair<QString, qsizetype> cases[] = {
        {list, 3},
        {fixture("jlist_cold_start.txt"), 0},       // banner and spawn notices, then "[]"
        {fixture("jlist_version_mismatch.txt"), 3}, // coloured warnings before the list
        {list + "\n\x1b[33m[PM2][WARN]\x1b[39m done\n", 3},
        {"[PM2] x\r\n" + list + "\r\n", 3},
        {"", 0},
        {"[PM2] error [code 1]\n", 0},
        {"[PM2] x\n[{\"name\": }]\n", 0},
        {"[PM2] x " + list, 0}, // a notice and the list on one line
    };
    for (const auto &[output, count] : cases)
        EXPECT_EQ(PM2ListParser::parseOutput(output).size(), count)
            << output.left(200).toStdString();
}

TEST(PM2App, projectDropsOneRoleSuffix)
{
    const std::pair<const char *, const char *> cases[] = {
        {"shop-api", "shop"},     {"shop-web-server", "shop-web"},
        {"api", "api"},           {"-api", ""},
        {"Shop-API", "Shop-API"}, {"blog-frontend", "blog"},
        {"blog-backend", "blog"}, {"chat-client", "chat"},
        {"api-web", "api"}};
    for (const auto &[name, project] : cases)
        EXPECT_EQ(PM2App{.name = name}.project(), QString::fromUtf8(project)) << name;
}

// The pm2 list: captured real `pm2 jlist` output, single entries with missing or mistyped fields,
// and the notices pm2 prints around its JSON.
#include "core/pm2_list_parser.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

using namespace nimbrel;
using Status = PM2App::Status;

namespace {

QByteArray fixture(const char *name)
{
    return test::readFile(QStringLiteral(NIMBREL_FIXTURES "/") + QLatin1String(name));
}

PM2App parseOne(const char *entry)
{
    const auto apps = PM2ListParser::parse(QByteArray("[") + entry + "]");
    EXPECT_TRUE(apps.has_value());
    EXPECT_EQ(apps->size(), 1) << entry;
    return apps && !apps->isEmpty() ? apps->front() : PM2App{};
}

} // namespace

TEST(PM2ListParser, readsCapturedRealList)
{
    const auto apps = PM2ListParser::parse(fixture("jlist_three_apps.json"));
    ASSERT_TRUE(apps);
    ASSERT_EQ(apps->size(), 3);

    const PM2App expected{.name = QStringLiteral("shop-api"),
                          .pmId = 0,
                          .pid = 2484,
                          .status = Status::online,
                          .reportedMemory = 52518912,
                          .cwd = QStringLiteral("/home/dev/shop"),
                          .uptime = instantFromEpochSeconds(1796539968.319),
                          .restarts = 0};
    EXPECT_EQ(apps->at(0), expected);
    EXPECT_EQ(apps->at(1).name, "shop-web");
    EXPECT_EQ(apps->at(1).status, Status::stopped);
    EXPECT_EQ(apps->at(1).pid, std::nullopt);
    EXPECT_EQ(apps->at(1).uptime, std::nullopt); // pm2 keeps pm_uptime for stopped apps too
    EXPECT_EQ(apps->at(2).status, Status::errored);
    EXPECT_EQ(apps->at(2).pmId, 2);
}

TEST(PM2ListParser, fieldsThatAreMissingOrOfAnotherTypeTakeTheirDefaults)
{
    struct Case
    {
        const char *entry;
        PM2App expected;
    };
    const QString a = QStringLiteral("a");
    const Case cases[] = {
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
        {R"({"name":"a","pm2_env":{"status":"sleeping","pm_uptime":1500}})",
         {.name = a, .status = Status::unknown}},
        {R"({"name":"a","pm2_env":{"status":"Online"}})", {.name = a}},
        {R"({"name":"a","pm2_env":{"status":"stopping","pm_cwd":"/srv/a"}})",
         {.name = a, .status = Status::stopping, .cwd = QStringLiteral("/srv/a")}},
        {R"({"name":"a","pm2_env":{"pm_cwd":42},"monit":{"memory":"12"}})", {.name = a}},
        {R"({"name":"a","monit":{"memory":1073741824}})",
         {.name = a, .reportedMemory = 1073741824}},
        {R"({"name":"日本語 app","pid":1e3})", {.name = QStringLiteral("日本語 app"), .pid = 1000}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parseOne(c.entry), c.expected) << c.entry;
}

TEST(PM2ListParser, documentsThatAreNotAListOfAppsGiveNothing)
{
    struct Case
    {
        const char *json;
        std::optional<qsizetype> count; // nullopt: not JSON at all
    };
    const Case cases[] = {
        {"[]", 0},
        {"{}", 0},
        {R"({"name":"a"})", 0},
        {R"([{"name":"a"}, 3])", 0},
        {R"([{"name":"a"}, {"pid": 3}, {"name": 7}, {"name":"b"}])", 2},
        {"", std::nullopt},
        {"[{\"name\":\"a\"}", std::nullopt},
        {"not json", std::nullopt},
        {"\xff\xfe[]", std::nullopt},
    };
    for (const Case &c : cases) {
        const auto apps = PM2ListParser::parse(QByteArray(c.json));
        ASSERT_EQ(apps.has_value(), c.count.has_value()) << c.json;
        if (apps) {
            EXPECT_EQ(apps->size(), *c.count) << c.json;
        }
    }
}

TEST(PM2ListParser, findsTheListAmongPm2sNotices)
{
    const QString list = QString::fromUtf8(fixture("jlist_three_apps.json"));
    struct Case
    {
        const char *label;
        QString output;
        qsizetype count;
    };
    const Case cases[] = {
        {"bare list", list, 3},
        {"cold start: banner and spawn notices before the list",
         QString::fromUtf8(fixture("jlist_cold_start.txt")), 0},
        {"daemon of another version: coloured warnings before the list",
         QString::fromUtf8(fixture("jlist_version_mismatch.txt")), 3},
        {"a notice after the list", list + QStringLiteral("\n\x1b[33m[PM2][WARN]\x1b[39m done\n"),
         3},
        {"CRLF line ends", QStringLiteral("[PM2] x\r\n") + list + QStringLiteral("\r\n"), 3},
        {"nothing", QString(), 0},
        {"brackets without a list", QStringLiteral("[PM2] error [code 1]\n"), 0},
        {"a list that does not parse", QStringLiteral("[PM2] x\n[{\"name\": }]\n"), 0},
        {"a notice and the list on one line", QStringLiteral("[PM2] x ") + list, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PM2ListParser::parseOutput(c.output).size(), c.count) << c.label;
}

TEST(PM2App, projectDropsOneRoleSuffix)
{
    const std::pair<const char *, const char *> cases[] = {
        {"shop-api", "shop"},     {"shop-web-server", "shop-web"},
        {"api", "api"},           {"-api", ""},
        {"Shop-API", "Shop-API"}, {"blog-frontend", "blog"},
        {"blog-backend", "blog"}, {"chat-client", "chat"},
        {"api-web", "api"},
    };
    for (const auto &[name, project] : cases)
        EXPECT_EQ(PM2App{.name = QString::fromUtf8(name)}.project(), QString::fromUtf8(project))
            << name;
}

// The settings store on a real file: defaults, types, damage, and other processes writing it.
#include "app/shell.h"
#include "app/store.h"
#include "support/test_environment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace nimbrel;

namespace {

QJsonObject fileObject(const QString &path)
{
    return QJsonDocument::fromJson(test::readFile(path)).object();
}

Shell::Result storeTool(const QString &file, const QStringList &arguments)
{
    return Shell::run(QStringLiteral(NIMBREL_STORE_TOOL), QStringList{file} + arguments,
                      std::nullopt, 60);
}

class StoreTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    QString path = env.settingsFile();
};

} // namespace

TEST_F(StoreTest, aFreshAccountReadsTheDefaultsAndWritesNothing)
{
    Store store(path);
    EXPECT_EQ(store.boolean(StoreKey::autoStopEnabled), true);
    EXPECT_EQ(store.number(StoreKey::idleLimitHours), 24.0);
    EXPECT_TRUE(store.lastActive().isEmpty());
    EXPECT_TRUE(store.pinned().isEmpty());
    EXPECT_EQ(store.openAtLoginChoice(), std::nullopt);
    EXPECT_EQ(store.text(StoreKey::pm2Path), std::nullopt);
    EXPECT_EQ(store.doubleValue(StoreKey::panelHeight), 0.0);
    EXPECT_FALSE(QFile::exists(path)); // registered defaults live in memory only
}

TEST_F(StoreTest, valuesKeepTheirJsonTypesOnDisk)
{
    Store store(path);
    store.setValue(StoreKey::idleLimitHours, 0.5);
    store.setValue(StoreKey::autoStopEnabled, false);
    store.setValue(StoreKey::pm2Path, QStringLiteral("/opt/pm2"));
    store.setValue(StoreKey::trayPosition, 300);
    const Instant first = instantFromEpochSeconds(1796540237.7302136);
    const Instant second = instantFromEpochSeconds(1700000000.0);
    store.setLastActive({{QStringLiteral("web"), first}, {QStringLiteral("api"), second}});

    const QJsonObject object = fileObject(path);
    EXPECT_EQ(object.value(u"idleLimitHours").toDouble(), 0.5);
    EXPECT_EQ(object.value(u"autoStopEnabled"), QJsonValue(false));
    EXPECT_EQ(object.value(u"pm2Path").toString(), "/opt/pm2");
    EXPECT_EQ(object.value(u"NSStatusItem Preferred Position Nimbrel").toInt(), 300);
    EXPECT_EQ(object.value(u"lastActiveAt")[u"web"].toDouble(), 1796540237.7302136);

    Store reader(path + QString()); // the same file through a second store
    EXPECT_EQ(reader.number(StoreKey::idleLimitHours), 0.5);
    EXPECT_EQ(reader.boolean(StoreKey::autoStopEnabled), false);
    const Store::LastActive times = reader.lastActive();
    EXPECT_EQ(times.value(QStringLiteral("web")), first);
    EXPECT_EQ(times.value(QStringLiteral("api")), second);

    store.remove(StoreKey::pm2Path);
    EXPECT_FALSE(fileObject(path).contains(u"pm2Path"));
}

TEST_F(StoreTest, pinnedNamesAreStoredSortedByCodePointAfterComposition)
{
    Store store(path);
    const QString decomposedE = QStringLiteral("e\u0301"); // é as e + combining acute
    store.setPinned({QStringLiteral("web"), QStringLiteral("api"), QStringLiteral("Shop"),
                     decomposedE, QStringLiteral("f")});
    const QJsonArray stored = fileObject(path).value(u"pinnedApps").toArray();
    // Composed, é (U+00E9) sorts after f, although its decomposed text starts with e.
    EXPECT_EQ(stored, QJsonArray({"Shop", "api", "f", "web", decomposedE}));
    EXPECT_EQ(store.pinned(), (QSet<QString>{"web", "api", "Shop", decomposedE, "f"}));
}

TEST_F(StoreTest, aValueOfAnotherTypeReadsAsAbsentAndABooleanAsFalse)
{
    // A hand-written 0 or "false" must not leave the automatic stop on.
    for (const char *written : {R"({"autoStopEnabled": 0})", R"({"autoStopEnabled": "false"})",
                                R"({"autoStopEnabled": null})"}) {
        test::writeFile(path, written);
        EXPECT_EQ(Store(path).boolean(StoreKey::autoStopEnabled), false) << written;
    }
    test::writeFile(path, R"({
        "autoStopEnabled": "true",
        "idleLimitHours": "5",
        "openAtLogin": "yes",
        "pm2Path": 42,
        "pinnedApps": ["a", 1],
        "lastActiveAt": {"web": 1700000000, "api": "yesterday"},
        "panelHeight": true
    })");
    Store store(path);
    EXPECT_EQ(store.boolean(StoreKey::autoStopEnabled), false);
    EXPECT_EQ(store.number(StoreKey::idleLimitHours), 24.0); // not the one-hour floor
    EXPECT_EQ(store.openAtLoginChoice(), false);
    EXPECT_EQ(store.text(StoreKey::pm2Path), std::nullopt);
    EXPECT_TRUE(store.pinned().isEmpty());
    EXPECT_TRUE(store.lastActive().isEmpty()); // one bad value spoils the whole dictionary
    EXPECT_EQ(store.doubleValue(StoreKey::panelHeight), 0.0);

    test::writeFile(path, R"({"lastActiveAt": [1, 2]})");
    EXPECT_TRUE(store.lastActive().isEmpty());
}

TEST_F(StoreTest, everyDamagedFileReadsAsDefaultsAndIsKeptAsideBeforeAnyWrite)
{
    const QList<QByteArray> damages{QByteArray(R"({"pinnedApps": ["web"], )"),
                                    QByteArray(R"(["pinnedApps"])"), QByteArray("\xff\x00\x01", 3)};
    const QStringList copies{path + ".damaged", path + ".damaged.2", path + ".damaged.3"};
    for (qsizetype i = 0; i < damages.size(); ++i) {
        const QByteArray &damaged = damages[i];
        test::writeFile(path, damaged);
        Store store(path);
        EXPECT_TRUE(store.pinned().isEmpty());
        EXPECT_EQ(store.boolean(StoreKey::autoStopEnabled), true);
        EXPECT_EQ(test::readFile(path), damaged); // reading never rewrites

        store.setValue(StoreKey::sortKey, QStringLiteral("cpu"));
        for (qsizetype kept = 0; kept <= i; ++kept) // no earlier copy is overwritten
            EXPECT_EQ(test::readFile(copies[kept]), damages[kept]);
        EXPECT_EQ(fileObject(path).value(u"sortKey").toString(), "cpu");
        EXPECT_EQ(store.text(StoreKey::sortKey), "cpu");
    }
}

TEST_F(StoreTest, readsSeeEveryWriteOfAnotherProcessAtOnce)
{
    Store store(path);
    store.setValue(StoreKey::pm2Path, QStringLiteral("/p/0"));
    // Same-sized values written back to back: a reader that trusted size and a coarse
    // modification time would miss some of them.
    for (int i = 1; i <= 20; ++i) {
        const QString value = QStringLiteral("/p/%1").arg(i % 10);
        ASSERT_EQ(storeTool(path, {"set-text", "pm2Path", value}).status, 0);
        EXPECT_EQ(store.text(StoreKey::pm2Path), value) << i;
    }
}

TEST_F(StoreTest, concurrentLastActiveWritersLoseNothing)
{
    // Four writers at once, each entry from a process of its own that reads the file before it
    // writes, as every command-line run does.
    constexpr int perWriter = 100;
    const QStringList prefixes{"a", "b", "c", "d"};
    std::vector<std::thread> writers;
    for (const QString &prefix : prefixes) {
        writers.emplace_back([&, prefix] {
            for (int i = 0; i < perWriter; ++i)
                EXPECT_EQ(storeTool(path, {"record", prefix + QString::number(i), "1"}).status, 0);
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(Store(path).lastActive().size(), prefixes.size() * perWriter);
}

TEST_F(StoreTest, aWriteThatChangesNothingLeavesTheFileAlone)
{
    Store store(path);
    store.setValue(StoreKey::sortKey, QStringLiteral("cpu"));
    store.updateLastActive([](Store::LastActive &times) { times.insert("web", now()); });
    const auto identity = [&] {
        struct stat info
        {};
        ::stat(QFile::encodeName(path).constData(), &info);
        return std::pair(info.st_ino, info.st_mtim.tv_nsec);
    };
    const auto before = identity();
    store.updateLastActive([](Store::LastActive &) {});
    store.setValue(StoreKey::sortKey, QStringLiteral("cpu"));
    EXPECT_EQ(identity(), before);
}

// The settings store on a real file: defaults, types, damage, and other processes writing it.
#include "app/store.h"
#include "support/test_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

using namespace nimbrel;

static QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

static int storeTool(const QString &file, const QStringList &arguments)
{
    return Shell::run(NIMBREL_STORE_TOOL, QStringList{file} + arguments, std::nullopt, 60).status;
}

class StoreTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    QString path = env.settingsFile();
};

TEST_F(StoreTest, defaultsThenValuesKeepTheirJsonTypesOnDisk)
{
    Store store(path);
    EXPECT_EQ(store.number(StoreKey::idleLimitHours), 24.0);
    EXPECT_FALSE(QFile::exists(path)); // registered defaults live in memory only

    store.setValue(StoreKey::idleLimitHours, 0.5);
    store.setValue(StoreKey::autoStopEnabled, false);
    store.setValue(StoreKey::pm2Path, QStringLiteral("/opt/pm2"));
    const Instant first = instantFromEpochSeconds(1796540237.7302136);
    store.setLastActive({{"web", first}, {"api", instantFromEpochSeconds(1700000000.0)}});
    const QString decomposedE = QStringLiteral("e\u0301"); // é as e + combining acute
    store.setPinned({"web", "api", "Shop", decomposedE, "f"});

    // Pinned names sorted by code point after composition: é (U+00E9) comes after f.
    EXPECT_EQ(json(test::readFile(path)), json(R"({"idleLimitHours": 0.5,
        "autoStopEnabled": false, "pm2Path": "/opt/pm2", "pinnedApps": ["Shop", "api", "f", "web",
        "e\u0301"], "lastActiveAt": {"web": 1796540237.7302136, "api": 1700000000}})"));
    Store reader(path); // the same file through a second store
    EXPECT_EQ(reader.number(StoreKey::idleLimitHours), 0.5);
    EXPECT_EQ(reader.lastActive().value("web"), first);
    EXPECT_EQ(reader.pinned(), (QSet<QString>{"web", "api", "Shop", decomposedE, "f"}));

    // A write that changes nothing leaves the file alone.
    struct stat before = {}, after = {};
    ::stat(QFile::encodeName(path).constData(), &before);
    store.recordActive({{"web", first}});
    store.recordActive({{"web", first - Seconds(60)}}); // an older time than the one stored
    store.setValue(StoreKey::pm2Path, QStringLiteral("/opt/pm2"));
    ::stat(QFile::encodeName(path).constData(), &after);
    EXPECT_EQ(std::pair(after.st_ino, after.st_mtim.tv_nsec),
              std::pair(before.st_ino, before.st_mtim.tv_nsec));
}

TEST_F(StoreTest, aValueOfAnotherTypeReadsAsAbsentAndEveryDamagedFileAsDefaultsKeptAside)
{
    // A hand-written 0 or "false" must not leave the automatic stop on.
    for (const char *written : {R"({"autoStopEnabled": 0})", R"({"autoStopEnabled": "false"})",
                                R"({"autoStopEnabled": null})"}) {
        test::writeFile(path, written);
        EXPECT_EQ(Store(path).boolean(StoreKey::autoStopEnabled), false) << written;
    }
    test::writeFile(path, R"({"idleLimitHours": "5", "openAtLogin": "yes", "pm2Path": 42,
        "pinnedApps": ["a", 1], "lastActiveAt": {"web": 1700000000, "api": "yesterday"},
        "panelHeight": true})");
    Store typed(path);
    EXPECT_EQ(typed.number(StoreKey::idleLimitHours), 24.0); // not the one-hour floor
    EXPECT_EQ(typed.openAtLoginChoice(), false);
    EXPECT_EQ(typed.text(StoreKey::pm2Path), std::nullopt);
    EXPECT_TRUE(typed.pinned().isEmpty());
    EXPECT_TRUE(typed.lastActive().isEmpty()); // one bad value spoils the whole dictionary
    EXPECT_EQ(typed.doubleValue(StoreKey::panelHeight), 0.0);
    test::writeFile(path, R"({"lastActiveAt": [1, 2]})");
    EXPECT_TRUE(typed.lastActive().isEmpty());

    const QList<QByteArray> damages{R"({"pinnedApps": ["web"], )", R"(["pinnedApps"])",
                                    QByteArray("\xff\x00\x01", 3)};
    const QStringList copies{path + ".damaged", path + ".damaged.2", path + ".damaged.3"};
    for (qsizetype i = 0; i < damages.size(); ++i) {
        test::writeFile(path, damages[i]);
        Store store(path);
        EXPECT_TRUE(store.pinned().isEmpty());
        EXPECT_EQ(store.boolean(StoreKey::autoStopEnabled), true);
        EXPECT_EQ(test::readFile(path), damages[i]); // reading never rewrites
        store.setValue(StoreKey::sortKey, QStringLiteral("cpu"));
        for (qsizetype kept = 0; kept <= i; ++kept) // no earlier copy is overwritten
            EXPECT_EQ(test::readFile(copies[kept]), damages[kept]);
        EXPECT_EQ(json(test::readFile(path)).value(u"sortKey"), QJsonValue("cpu"));
    }
}

TEST_F(StoreTest, otherProcessesWritingAtOnceLoseNothingAndAreSeenAtOnce)
{
    // Same-sized values back to back: a reader that trusted size and a coarse modification time
    // would miss some of them.
    Store store(path);
    for (int i = 0; i <= 20; ++i) {
        const QString value = QStringLiteral("/p/%1").arg(i % 10);
        ASSERT_EQ(storeTool(path, {"set-text", "pm2Path", value}), 0);
        EXPECT_EQ(store.text(StoreKey::pm2Path), value) << i;
    }
    // Four writers at once, each entry from a process of its own, as every command-line run.
    std::vector<std::thread> writers;
    for (const QString prefix : {"a", "b", "c", "d"}) {
        writers.emplace_back([&, prefix] {
            for (int i = 0; i < 100; ++i)
                EXPECT_EQ(storeTool(path, {"record", prefix + QString::number(i)}), 0);
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(Store(path).lastActive().size(), 400);
}

TEST_F(StoreTest, aFileThatExistsAndCannotBeReadIsLeftAsItIsAndEveryWriteSaysWhy)
{
    const QByteArray kept = R"({"pinnedApps": ["web"], "autoStopEnabled": false})";
    const QString loop = path + ".loop";
    // {how the file cannot be read, the system's text}; permissions do not hold for root.
    const std::pair<std::function<void()>, QString> cases[] = {
        {[&] { ::chmod(QFile::encodeName(path).constData(), 0200); }, "Permission denied"},
        {[&] {
             QFile::remove(path);
             QDir().mkpath(path);
         },
         "Is a directory"},
        {[&] {
             QFile::remove(path);
             QFile::link(loop, path);
             QFile::link(path, loop);
         },
         "Too many levels of symbolic links"}};
    for (const auto &[makeUnreadable, error] : cases) {
        if (error == "Permission denied" && ::geteuid() == 0)
            continue;
        test::writeFile(path, kept);
        makeUnreadable();
        const QFileInfo before(path);
        Store store(path);
        QStringList reported;
        QObject::connect(&store, &Store::writeFinished, [&](auto e) { reported.append(e); });
        EXPECT_EQ(store.setValue(StoreKey::openAtLogin, false), error);
        EXPECT_EQ(store.recordActive({{"web", now()}}), error);
        EXPECT_EQ(store.checkWritable(), error);
        EXPECT_EQ(reported, QStringList(2, error));
        const QFileInfo after(path);
        EXPECT_EQ(std::tuple(after.isSymLink(), after.isDir(), after.size()),
                  std::tuple(before.isSymLink(), before.isDir(), before.size()));
        ::chmod(QFile::encodeName(path).constData(), 0600);
        EXPECT_TRUE(!after.isFile() || test::readFile(path) == kept);
        QDir(path).removeRecursively();
        QFile::remove(path);
        QFile::remove(loop);
    }
    EXPECT_EQ(Store(path).setValue(StoreKey::openAtLogin, false), std::nullopt); // absent: empty
}

TEST_F(StoreTest, inTheBackgroundAWriteNeverWaitsForTheLockAndNothingIsLostAtTheEnd)
{
    // Another process holds the lock for the whole step; what the panel writes meanwhile is seen
    // at once and on disk when the store ends, as at quit.
    const Instant at = instantFromEpochSeconds(1700000000.0);
    QDir().mkpath(env.config() + "/Nimbrel");
    const int folder = ::open(QFile::encodeName(env.config() + "/Nimbrel").constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    {
        Store store(path);
        store.writeInBackground();
        QElapsedTimer clock;
        clock.start();
        store.setValue(StoreKey::sortKey, QStringLiteral("cpu"));
        store.recordActive({{"web", at}});
        EXPECT_LT(clock.elapsed(), 100);
        EXPECT_EQ(store.text(StoreKey::sortKey), "cpu");
        EXPECT_EQ(store.lastActive().value("web"), at);
        EXPECT_FALSE(QFile::exists(path));
        ::close(folder);
    }
    EXPECT_EQ(json(test::readFile(path)),
              json(R"({"sortKey": "cpu", "lastActiveAt": {"web": 1700000000}})"));
}

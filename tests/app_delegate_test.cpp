// The control and login modes, driven in-process against a pm2 stand-in and a temporary home.
#include "app/app_delegate.h"
#include "app/pm2_locator.h"
#include "app/store.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

class AppDelegateTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    Store store{env.settingsFile()};
    QString program = env.root() + QStringLiteral("/bin/nimbrel");
    QString entry = env.config() + QStringLiteral("/autostart/nimbrel.desktop");
    QStringList printed;
    QStringList logged;
    AppDelegate delegate{store, LoginItem(entry, program),
                         [this](const QString &line) { printed.append(line); }};
    test::FakePm2 pm2{env};

    void SetUp() override { test::writeFile(program, "#!/bin/sh\n", true); }
    void useFakePm2(const char *mode)
    {
        store.setValue(StoreKey::pm2Path, test::FakePm2::path());
        pm2.setMode(mode);
    }
    QStringList takePrinted() { return std::exchange(printed, {}); }
};

const QString usage =
    QStringLiteral("使い方: --control start|stop|restart <名前>  /  --control list");

} // namespace

TEST_F(AppDelegateTest, controlUsageAndMissingPm2)
{
    struct Case
    {
        std::optional<QString> action;
        QString name;
        bool needsPm2;
        QString line;
    };
    const Case cases[] = {
        {std::nullopt, {}, false, usage},
        {"start", {}, true, usage},
        {"frobnicate", {}, true, usage},
        {"frobnicate", "web", true,
         QStringLiteral("使い方: --control start|stop|restart|list <名前>")},
        {"Start", "web", true, QStringLiteral("使い方: --control start|stop|restart|list <名前>")},
    };
    useFakePm2("");
    for (const Case &c : cases) {
        EXPECT_EQ(delegate.runControl(c.action, c.name), 1);
        EXPECT_EQ(takePrinted(), QStringList{c.line});
    }
    EXPECT_TRUE(pm2.calls().isEmpty()); // none of them ran pm2

    store.remove(StoreKey::pm2Path);
    for (const char *action : {"start", "list", "frobnicate"}) {
        EXPECT_EQ(delegate.runControl(QString::fromUtf8(action), "web"), 1);
        EXPECT_EQ(takePrinted(), QStringList{"pm2 が見つかりません"}) << action;
    }
}

TEST_F(AppDelegateTest, listFindsAPm2ThatOnlyVoltaOrTheLoginShellKnows)
{
    pm2.setApps({{"web", 1}});
    const QByteArray wrapper = "#!/bin/sh\nexec " NIMBREL_FAKE_PM2 " \"$@\"\n";
    const QString volta = env.home() + "/.volta/bin/pm2";
    test::writeFile(volta, wrapper, true);
    EXPECT_EQ(delegate.runControl("list", {}), 0);
    EXPECT_EQ(takePrinted(), QStringList{"online\tweb"});

    QFile::remove(volta);
    const QString hidden = env.root() + "/elsewhere/pm2";
    const QString shell = env.root() + "/bin/login-shell";
    test::writeFile(hidden, wrapper, true);
    test::writeFile(shell, "#!/bin/sh\necho 'Hello from .bashrc'\necho " + hidden.toUtf8() + "\n",
                    true);
    Pm2Locator::shared().usePlaces([&] { return Pm2Locator::Places{{volta}, shell}; });
    EXPECT_EQ(delegate.runControl("list", {}), 0);
    EXPECT_EQ(takePrinted(), QStringList{"online\tweb"});
}

TEST_F(AppDelegateTest, aPm2ThatCannotRunFailsTheActionAndRecordsNothing)
{
    store.setValue(StoreKey::pm2Path, env.root() + QStringLiteral("/no/pm2"));
    EXPECT_EQ(delegate.runControl("start", "web"), 1);
    EXPECT_EQ(takePrinted(), QStringList{"start: web 失敗"});
    EXPECT_FALSE(store.lastActive().contains("web"));
}

TEST_F(AppDelegateTest, listPrintsStatusTabNameAndNothingForGarbage)
{
    useFakePm2("");
    pm2.setList(test::readFile(NIMBREL_FIXTURES "/jlist_version_mismatch.txt"));
    EXPECT_EQ(delegate.runControl("list", "ignored"), 0);
    EXPECT_EQ(takePrinted(),
              (QStringList{"online\tshop-api", "stopped\tshop-web", "errored\tworker"}));
    EXPECT_EQ(pm2.calls(), (QList<QStringList>{{"jlist"}}));

    for (const char *mode : {"garbage", "fail"}) {
        useFakePm2(mode);
        EXPECT_EQ(delegate.runControl("list", {}), 0);
        EXPECT_TRUE(takePrinted().isEmpty()) << mode;
    }
}

TEST_F(AppDelegateTest, loginOnOffAndStatus)
{
    EXPECT_EQ(delegate.runLogin("status"), 1);
    EXPECT_EQ(delegate.runLogin("on"), 0);
    EXPECT_EQ(store.openAtLoginChoice(), true);
    EXPECT_EQ(delegate.runLogin("status"), 0);
    EXPECT_EQ(delegate.runLogin("off"), 0);
    EXPECT_EQ(store.openAtLoginChoice(), false);
    EXPECT_EQ(delegate.runLogin("On"), 1);
    EXPECT_EQ(takePrinted(), (QStringList{
                                 "未登録（ログイン時に起動しません）",
                                 "登録済み（ログイン時に起動します）",
                                 "登録済み（ログイン時に起動します）",
                                 "未登録（ログイン時に起動しません）",
                                 "使い方: --login on|off|status",
                             }));
}

TEST_F(AppDelegateTest, loginOnWhenTheProgramIsGoneStillSucceeds)
{
    QFile::remove(program);
    EXPECT_EQ(delegate.runLogin("on"), 0);
    EXPECT_EQ(delegate.runLogin("status"), 1);
    EXPECT_EQ(takePrinted(),
              QStringList(2, "見つかりません（/Applications に入れてから実行してください）"));
    EXPECT_EQ(store.openAtLoginChoice(), true);
}

TEST_F(AppDelegateTest, loginFailuresLeaveTheChoiceAlone)
{
    test::writeFile(env.config() + "/autostart", "not a folder");
    EXPECT_EQ(delegate.runLogin("on"), 1);
    EXPECT_EQ(takePrinted(), QStringList{"登録に失敗しました: Not a directory"});
    EXPECT_EQ(store.openAtLoginChoice(), std::nullopt);

    QFile::remove(env.config() + "/autostart");
    QDir().mkpath(entry + "/blocker");
    EXPECT_EQ(delegate.runLogin("off"), 1);
    ASSERT_EQ(printed.size(), 1);
    EXPECT_TRUE(printed[0].startsWith("解除に失敗しました: "));
    EXPECT_EQ(store.openAtLoginChoice(), std::nullopt);
}

TEST_F(AppDelegateTest, ensureLoginItemRegistersOnlyUntilTheUserChose)
{
    const auto log = [this](const QString &line) { logged.append(line); };

    delegate.ensureLoginItem(log);
    EXPECT_TRUE(QFile::exists(entry));
    EXPECT_EQ(store.openAtLoginChoice(), true);

    QFile::remove(entry);
    delegate.ensureLoginItem(log);
    EXPECT_FALSE(QFile::exists(entry)); // true is a choice too: never registered again

    store.setValue(StoreKey::openAtLogin, false);
    test::writeFile(entry, "[Desktop Entry]\nHidden=true\n");
    delegate.ensureLoginItem(log);
    EXPECT_EQ(test::readFile(entry), "[Desktop Entry]\nHidden=true\n");

    store.remove(StoreKey::openAtLogin);
    QDir(env.config() + "/autostart").removeRecursively();
    test::writeFile(env.config() + "/autostart", "not a folder");
    delegate.ensureLoginItem(log);
    EXPECT_EQ(logged,
              QStringList{"Nimbrel: ログイン時起動の登録に失敗しました（Not a directory）"});
    EXPECT_EQ(store.openAtLoginChoice(), std::nullopt); // tried again at the next start
    EXPECT_TRUE(printed.isEmpty());
}

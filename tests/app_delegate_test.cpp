// The control and login modes, driven in-process against a pm2 stand-in and a temporary home.
#include "app/app_delegate.h"
#include "app/store.h"
#include "support/fake_pm2.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace nimbrel;

class AppDelegateTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    Store store{env.settingsFile()};
    QString program = env.root() + QStringLiteral("/bin/nimbrel");
    QString autostart = env.config() + QStringLiteral("/autostart");
    QString entry = autostart + QStringLiteral("/nimbrel.desktop");
    QStringList printed;
    AppDelegate delegate{store, LoginItem(entry, program),
                         [this](const QString &line) { printed.append(line); }};
    test::FakePM2 pm2{env};

    void SetUp() override { test::writeFile(program, "#!/bin/sh\n", true); }
    QStringList takePrinted() { return std::exchange(printed, {}); }
};

TEST_F(AppDelegateTest, controlUsageAndMissingPM2AndTheLoginShellFindingIt)
{
    const QString usage = "使い方: --control start|stop|restart <名前>  /  --control list";
    const QString actionUsage = "使い方: --control start|stop|restart|list <名前>";
    const QString noPM2 = "pm2 が見つかりません";
    const std::tuple<std::optional<QString>, QString, bool, QString> cases[] = {
        {std::nullopt, {}, true, usage},     {"start", {}, true, usage},
        {"frobnicate", {}, true, usage},     {"frobnicate", "web", true, actionUsage},
        {"Start", "web", true, actionUsage}, {"start", "web", false, noPM2},
        {"list", {}, false, noPM2},          {"frobnicate", "web", false, noPM2}};
    for (const auto &[action, name, known, line] : cases) {
        store.setValue(StoreKey::pm2Path, known ? QVariant(test::FakePM2::path()) : QVariant());
        EXPECT_EQ(delegate.runControl(action, name), 1);
        EXPECT_EQ(takePrinted(), QStringList{line});
    }
    EXPECT_TRUE(pm2.calls().isEmpty()); // none of them ran pm2

    // From a terminal as from the desktop, pm2 may be known to the login shell alone.
    pm2.setApps({{"web", 1}});
    const QString shell = env.root() + "/bin/login-shell";
    test::writeFile(shell, "#!/bin/sh\necho 'Hello from .bashrc'\necho " NIMBREL_FAKE_PM2 "\n",
                    true);
    PM2Locator::shared().usePlaces([&] { return PM2Locator::Places{{}, shell}; });
    EXPECT_EQ(delegate.runControl("list", "ignored"), 0);
    EXPECT_EQ(takePrinted(), QStringList{"online\tweb"});
}

TEST_F(AppDelegateTest, loginOnOffStatusAndAtStartAndTheirFailuresLeaveTheChoiceAlone)
{
    const QString no = "未登録（ログイン時に起動しません）";
    const QString yes = "登録済み（ログイン時に起動します）";
    const QString gone = "見つかりません（/Applications に入れてから実行してください）";
    const auto step = [&](const char *action, int exit, const QString &line,
                          std::optional<bool> choice) {
        EXPECT_EQ(delegate.runLogin(action), exit) << action << " " << line.toStdString();
        EXPECT_EQ(takePrinted(), QStringList{line});
        EXPECT_EQ(store.openAtLoginChoice(), choice) << action << " " << line.toStdString();
    };
    // Registered at a start only until the user chose.
    QStringList logged;
    const auto ensure = [&] { delegate.ensureLoginItem([&](auto line) { logged.append(line); }); };
    ensure();
    EXPECT_TRUE(QFile::exists(entry));
    EXPECT_EQ(store.openAtLoginChoice(), true);
    QFile::remove(entry);
    ensure();
    EXPECT_FALSE(QFile::exists(entry)); // true is a choice too: never registered again
    store.remove(StoreKey::openAtLogin);

    step("status", 1, no, std::nullopt);
    step("off", 0, no, false); // absent already: done
    step("on", 0, yes, true);
    step("status", 0, yes, true);
    step("On", 1, "使い方: --login on|off|status", true);
    QFile::remove(program);
    step("on", 0, gone, true); // registered all the same
    step("status", 1, gone, true);
    step("off", 0, no, false);

    // A file where the autostart folder should be: nothing can be written under it.
    QDir(autostart).removeRecursively();
    test::writeFile(autostart, "not a folder");
    step("on", 1, "登録に失敗しました: Not a directory", false);
    step("off", 0, no, false); // an entry that cannot exist is absent
    store.remove(StoreKey::openAtLogin);
    ensure();
    EXPECT_EQ(logged,
              QStringList{"Nimbrel: ログイン時起動の登録に失敗しました（Not a directory）"});
    EXPECT_EQ(store.openAtLoginChoice(), std::nullopt); // tried again at the next start
    QFile::remove(autostart);
    SetUp();
    step("on", 0, yes, true);
    QFile::remove(entry);
    QDir().mkpath(entry + "/inside");
    step("off", 1, "解除に失敗しました: Is a directory", true);
    step("on", 1, "登録に失敗しました: Is a directory", true);

    // A settings file that cannot be read: neither the entry nor the file changes.
    QDir(entry).removeRecursively();
    step("on", 0, yes, true);
    QFile::remove(env.settingsFile());
    QDir().mkpath(env.settingsFile());
    step("off", 1, "設定を保存できませんでした: Is a directory", std::nullopt);
    EXPECT_TRUE(QFile::exists(entry));
}

// The tray app on a machine without a display, as it runs on a headless box that runs pm2.
#include "app/store.h"
#include "support/test_environment.h"

#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

using namespace nimbrel;

TEST(HeadlessTray, quitsAtOnceWhilePm2HangsAndGivesPm2OurEnvironmentUnchanged)
{
    test::TestEnvironment env;
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.set(display, std::nullopt);
    // A pm2 that notes what it was given and then hangs with its output open.
    const QString pm2 = env.root() + "/bin/pm2";
    test::writeFile(pm2, "#!/bin/sh\nenv > \"$0.env\"\necho $$ > \"$0.pid\"\nexec sleep 60\n",
                    true);
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, pm2);

    QProcess tray;
    tray.start(QStringLiteral(NIMBREL_BINARY));
    const auto hanging = [&] { return test::readFile(pm2 + ".pid").trimmed().toInt(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return hanging() > 0; }, 30'000)) << "the tray never ran pm2";

    ::kill(pid_t(tray.processId()), SIGTERM); // as the session's end, and as the menu's 終了
    const bool ended = tray.waitForFinished(5'000);
    ::kill(hanging(), SIGKILL);
    EXPECT_TRUE(ended) << "quitting waited for pm2";
    EXPECT_EQ(tray.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tray.exitCode(), 0);

    const QByteArray childEnvironment = test::readFile(pm2 + ".env");
    EXPECT_TRUE(childEnvironment.contains("PM2_HOME=" + env.pm2Home().toUtf8()));
    EXPECT_FALSE(childEnvironment.contains("QT_QPA_PLATFORM")) << childEnvironment.toStdString();
}

// The tray app on a machine without a display, as it runs on a headless box that runs pm2.
#include "app/store.h"
#include "support/test_environment.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

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

    pid_t tray = 0;
    char binary[] = NIMBREL_BINARY;
    char *arguments[] = {binary, nullptr};
    ASSERT_EQ(::posix_spawn(&tray, binary, nullptr, nullptr, arguments, environ), 0);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(pm2 + ".pid") && waited.elapsed() < 30'000)
        usleep(50'000);
    const pid_t hanging = pid_t(test::readFile(pm2 + ".pid").trimmed().toInt());
    ASSERT_GT(hanging, 0) << "the tray never ran pm2";

    ::kill(tray, SIGTERM); // as the session's end, and as the menu's 終了, through the event loop
    waited.restart();
    int status = -1;
    while (::waitpid(tray, &status, WNOHANG) == 0 && waited.elapsed() < 5'000)
        usleep(20'000);
    const bool ended = waited.elapsed() < 5'000;
    if (!ended)
        ::kill(tray, SIGKILL), ::waitpid(tray, &status, 0);
    ::kill(hanging, SIGKILL);
    EXPECT_TRUE(ended) << "quitting waited for pm2";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const QByteArray childEnvironment = test::readFile(pm2 + ".env");
    EXPECT_TRUE(childEnvironment.contains("PM2_HOME=" + env.pm2Home().toUtf8()));
    EXPECT_FALSE(childEnvironment.contains("QT_QPA_PLATFORM")) << childEnvironment.toStdString();
}

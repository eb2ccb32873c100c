// The autostart entry: what each state of the file means, and the entry Nimbrel writes.
#include "app/login_item.h"
#include "core/desktop_entry.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace nimbrel;
using Status = LoginItem::Status;

namespace {

class LoginItemTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    QString entry = env.config() + QStringLiteral("/autostart/nimbrel.desktop");
    QString program = env.root() + QStringLiteral("/bin/nimbrel");

    void SetUp() override { test::writeFile(program, "#!/bin/sh\n", true); }
};

} // namespace

TEST_F(LoginItemTest, registeringWritesAnEnabledEntryAndUnregisteringRemovesIt)
{
    const LoginItem item(entry, program);
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_EQ(item.unregisterItem(), std::nullopt); // absent already: success

    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::enabled);
    const QByteArray contents = test::readFile(entry);
    EXPECT_TRUE(contents.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(contents.contains("\nType=Application\n"));
    EXPECT_TRUE(contents.contains("\nName=Nimbrel\n"));
    EXPECT_TRUE(contents.contains("\nExec=\"" + program.toUtf8() + "\"\n"));
    EXPECT_TRUE(contents.contains("\nX-GNOME-Autostart-enabled=true\n"));

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::notRegistered);
}

TEST_F(LoginItemTest, theEntryFindsItsProgramWhateverCharactersThePathHolds)
{
    for (const char *name : {"with space", "quote\"d", "dollar$HOME", "back\\slash", "100%",
                             "日本語", "tick`s", "semi;colon"}) {
        const QString odd =
            env.root() + QStringLiteral("/odd/") + QString::fromUtf8(name) + "/nimbrel";
        test::writeFile(odd, "#!/bin/sh\n", true);
        const LoginItem item(entry, odd);
        ASSERT_EQ(item.registerItem(), std::nullopt);
        EXPECT_EQ(item.status(), Status::enabled) << name << "\n"
                                                  << test::readFile(entry).toStdString();
        QFile::remove(odd);
        EXPECT_EQ(item.status(), Status::notFound) << name;
    }
}

TEST_F(LoginItemTest, statusReadsTheDesktopsOwnSwitches)
{
    struct Case
    {
        QByteArray contents;
        Status status;
    };
    const QByteArray exec = "Exec=" + program.toUtf8() + " --flag\n";
    const Case cases[] = {
        {"[Desktop Entry]\nType=Application\n" + exec, Status::enabled},
        {"[Desktop Entry]\n" + exec + "Hidden=true\n", Status::requiresApproval},
        {"[Desktop Entry]\n" + exec + "Hidden=1\n", Status::requiresApproval},
        {"[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=0\n", Status::requiresApproval},
        {"[Desktop Entry]\n" + exec + "Hidden=0\nX-GNOME-Autostart-enabled=1\n", Status::enabled},
        {"[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=false\n",
         Status::requiresApproval},
        {"[Desktop Entry]\n" + exec + "X-MATE-Autostart-enabled = false\n",
         Status::requiresApproval},
        {"[Desktop Entry]\n" + exec + "Hidden=false\nX-GNOME-Autostart-enabled=true\n",
         Status::enabled},
        {"[Other Group]\nHidden=true\n[Desktop Entry]\n" + exec, Status::enabled},
        {"[Desktop Entry]\nExec=/nonexistent/nimbrel\n", Status::notFound},
        {"[Desktop Entry]\nExec=sh -c true\n", Status::enabled}, // a bare name is looked up on PATH
        {"[Desktop Entry]\nType=Application\n", Status::notFound},
        {"garbage \xff\xfe", Status::notFound},
    };
    for (const Case &c : cases) {
        test::writeFile(entry, c.contents);
        EXPECT_EQ(LoginItem(entry, program).status(), c.status) << c.contents.toStdString();
    }
}

TEST_F(LoginItemTest, failuresCarryTheSystemsReason)
{
    // A file where the autostart folder should be: nothing can be written under it, and an
    // entry that cannot exist is already absent.
    test::writeFile(env.config() + "/autostart", "not a folder");
    const LoginItem blocked(entry, program);
    EXPECT_EQ(blocked.registerItem(), "Not a directory");
    EXPECT_EQ(blocked.unregisterItem(), std::nullopt);
    EXPECT_EQ(blocked.status(), Status::notRegistered);

    const QString folder = env.root() + QStringLiteral("/folder/nimbrel.desktop");
    QDir().mkpath(folder);
    EXPECT_EQ(LoginItem(folder, program).registerItem(), "Is a directory");

    // A folder in place of the entry cannot be unlinked.
    const QString other = env.root() + QStringLiteral("/elsewhere/nimbrel.desktop");
    QDir().mkpath(other + "/inside");
    const auto unregisterError = LoginItem(other, program).unregisterItem();
    ASSERT_TRUE(unregisterError);
    EXPECT_FALSE(unregisterError->isEmpty());
}

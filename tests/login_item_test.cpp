// The autostart entry: what each state of the file means, and the entry Nimbrel writes.
#include "app/system/login_item.h"
#include "support/test_environment.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace nimbrel;
using Status = LoginItem::Status;

TEST(LoginItem, theEntryFindsItsProgramWhateverItsPathAndStatusReadsTheDesktopsSwitches)
{
    test::TestEnvironment env;
    const QString entry = env.config() + QStringLiteral("/autostart/nimbrel.desktop");
    for (const char *name : {"with space", "quote\"d", "dollar$HOME", "back\\slash", "100%",
                             "日本語", "tick`s", "semi;colon"}) {
        const QString odd = env.root() + "/odd/" + QString::fromUtf8(name) + "/nimbrel";
        test::writeFile(odd, "#!/bin/sh\n", true);
        const LoginItem item(entry, odd);
        ASSERT_EQ(item.registerItem(), std::nullopt);
        EXPECT_EQ(item.status(), Status::enabled) << test::readFile(entry).toStdString();
        QFile::remove(odd);
        EXPECT_EQ(item.status(), Status::notFound) << name;
    }
    const QString program = env.root() + QStringLiteral("/bin/nimbrel");
    test::writeFile(program, "#!/bin/sh\n", true);
    const QByteArray head = "[Desktop Entry]\nExec=" + program.toUtf8() + " --flag\n";
    const std::pair<QByteArray, Status> cases[] = {
        {head + "Type=Application\n", Status::enabled},
        {head + "Hidden=true\n", Status::requiresApproval},
        {head + "Hidden=1\n", Status::requiresApproval},
        {head + "X-GNOME-Autostart-enabled=0\n", Status::requiresApproval},
        {head + "Hidden=0\nX-GNOME-Autostart-enabled=1\n", Status::enabled},
        {head + "X-GNOME-Autostart-enabled=false\n", Status::requiresApproval},
        {head + "X-MATE-Autostart-enabled = false\n", Status::requiresApproval},
        {head + "Hidden=false\nX-GNOME-Autostart-enabled=true\n", Status::enabled},
        {"[Other Group]\nHidden=true\n" + head, Status::enabled},
        {"[Desktop Entry]\nExec=/nonexistent/nimbrel\n", Status::notFound},
        {"[Desktop Entry]\nExec=sh -c true\n", Status::enabled}, // a bare name is looked up on PATH
        {"[Desktop Entry]\nType=Application\n", Status::notFound},
        {"garbage \xff\xfe", Status::notFound}};
    for (const auto &[contents, status] : cases) {
        test::writeFile(entry, contents);
        EXPECT_EQ(LoginItem(entry, program).status(), status) << contents.toStdString();
    }
}

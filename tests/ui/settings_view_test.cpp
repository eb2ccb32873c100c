// The settings: the stepper and the path write their keys; the login switch with a stand-in login
// service; the notes where the design puts them.
#include "app/system/login_item.h"
#include "app/ui/note_label.h"
#include "app/ui/settings_view.h"
#include "app/ui/toggle_switch.h"
#include "support/monitor_fixture.h"

#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>

using namespace nimbrel;
using test::child;
using Status = LoginService::Status;

namespace {

struct FakeLogin : LoginService
{
    mutable Status now = Status::notRegistered;
    Status afterRegister = Status::enabled;
    std::optional<QString> failure;

    Status status() const override { return now; }
    std::optional<QString> registerItem() const override
    {
        now = failure ? now : afterRegister;
        return failure;
    }
    std::optional<QString> unregisterItem() const override { return failure; }
};

class SettingsTest : public test::MonitorFixture
{
protected:
    FakeLogin login;
    std::unique_ptr<ui::SettingsView> view;

    void makeView()
    {
        view = std::make_unique<ui::SettingsView>(*monitor, store, login,
                                                  [](auto &) { return QString(); });
    }
};

} // namespace

TEST_F(SettingsTest, stepperPathAndLoginSwitchWriteTheirKeysAndNotesSitInPlace)
{
    // {stored, shown, the button clicked, stored then}
    const std::tuple<double, const char *, const char *, double> cases[] = {
        {2.5, "2 時間", "hoursUp", 3.5},
        {-3.0, "1 時間", "hoursDown", -3.0}, // already at the bottom: no change
        {167.5, "167 時間", "hoursUp", 168}};
    for (const auto &[stored, shown, button, after] : cases) {
        store.setValue(StoreKey::idleLimitHours, stored);
        makeView();
        EXPECT_EQ(child<QLabel>(*view, "hours")->text(), QString::fromUtf8(shown));
        QTest::mouseClick(child(*view, button), Qt::LeftButton);
        EXPECT_EQ(store.number(StoreKey::idleLimitHours), after) << stored;
    }

    // The path: stored on Return, as typed; removed when empty.
    makeView();
    auto *field = child<QLineEdit>(*view, "pm2Path");
    EXPECT_EQ(field->text(), test::FakePM2::path());
    field->setText(QStringLiteral(" /not/pm2 "));
    EXPECT_EQ(store.text(StoreKey::pm2Path), test::FakePM2::path()); // nothing until Return
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(store.text(StoreKey::pm2Path), " /not/pm2 "); // as typed
    field->clear();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(store.text(StoreKey::pm2Path), std::nullopt);
    // With none stored, the pm2 in use shows as the placeholder, never as text to store.
    test::writeFile(env.home() + "/.volta/bin/pm2", "#!/bin/sh\n", true);
    makeView();
    field = child<QLineEdit>(*view, "pm2Path");
    EXPECT_EQ(field->text(), "");
    EXPECT_EQ(field->placeholderText(), env.home() + "/.volta/bin/pm2");

    // The login switch. {what registering leaves, its failure, the switch then, the note}; the last
    // note stays.
    const char *approval = "システム設定 > 一般 > ログイン項目 で Nimbrel を有効にしてください。";
    const std::tuple<Status, std::optional<QString>, bool, const char *> logins[] = {
        {Status::enabled, "Not a directory", false, "Not a directory"},
        {Status::enabled, {}, true, ""},
        {Status::requiresApproval, {}, true, approval},
    };
    for (const auto &[after, failure, on, note] : logins) {
        login.now = Status::notRegistered;
        login.afterRegister = after;
        login.failure = failure;
        makeView();
        child<ui::ToggleSwitch>(*view, "openAtLogin")->click();
        EXPECT_EQ(child<ui::ToggleSwitch>(*view, "openAtLogin")->isChecked(), on) << note;
        EXPECT_EQ(view->loginError(), QString::fromUtf8(note));
        EXPECT_EQ(store.openAtLoginChoice(), on ? std::optional(true) : std::nullopt) << note;
    }
    auto *notices = child<ui::ToggleSwitch>(*view, "notifications");
    EXPECT_TRUE(notices->isChecked());
    notices->click();
    EXPECT_EQ(store.boolean(StoreKey::notificationsEnabled), false);
    // The note sits 6 under its group (22 of spacing, -16 of margin) and 22 above the next, and
    // everything fits the window's width (its height follows the content).
    view->resize(520, view->layout()->totalHeightForWidth(520));
    view->show();
    QCoreApplication::processEvents();
    EXPECT_LE(view->minimumSizeHint().width(), 520);
    const auto top = [&](QWidget *w) { return w->mapTo(view.get(), QPoint(0, 0)).y(); };
    for (const char *name : {"autoStopNote", "loginError"}) {
        QWidget *note = child(*view, name);
        QWidget *section = note->parentWidget();
        QWidget *group = section->layout()->itemAt(0)->widget();
        QWidget *next = view->layout()->itemAt(view->layout()->indexOf(section) + 1)->widget();
        EXPECT_EQ(top(note) - (top(group) + group->height()), 6) << name;
        EXPECT_EQ(top(next) - (top(note) + note->height()), 22) << name;
    }

    // A change that cannot be stored says so in a line of its own, until one is stored.
    QFile::remove(env.settingsFile());
    QDir().mkpath(env.settingsFile());
    child<ui::ToggleSwitch>(*view, "autoStop")->click();
    EXPECT_EQ(static_cast<ui::NoteLabel *>(child(*view, "saveError"))->text(),
              "設定を保存できませんでした: Is a directory");
    QDir().rmdir(env.settingsFile());
    child<ui::ToggleSwitch>(*view, "autoStop")->click();
    EXPECT_TRUE(child(*view, "saveError")->isHidden());
}

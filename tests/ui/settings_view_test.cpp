// The settings: each control writes its key; the login switch with a stand-in login service; the
// file chooser answered by the test.
#include "app/login_item.h"
#include "app/ui/settings_view.h"
#include "app/ui/style.h"
#include "app/ui/toggle_switch.h"
#include "app/ui/translations.h"
#include "ui/ui_fixture.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace nimbrel;
using namespace nimbrel::ui;
using Status = LoginService::Status;

namespace {

class FakeLogin : public LoginService
{
public:
    Status now = Status::notRegistered;
    Status afterRegister = Status::enabled;
    std::optional<QString> failure;

    Status status() const override { return now; }
    std::optional<QString> registerItem() const override { return change(afterRegister); }
    std::optional<QString> unregisterItem() const override { return change(Status::notRegistered); }

private:
    std::optional<QString> change(Status next) const
    {
        if (failure)
            return failure;
        const_cast<FakeLogin *>(this)->now = next;
        return std::nullopt;
    }
};

class SettingsTest : public test::UiTest
{
protected:
    FakeLogin login;
    QStringList chooserStarts;
    QString chooserAnswer;
    std::unique_ptr<SettingsView> view;

    void makeView()
    {
        view = std::make_unique<SettingsView>(monitor, store, login, [this](const QString &start) {
            chooserStarts.append(start);
            return chooserAnswer;
        });
    }
};

} // namespace

TEST_F(SettingsTest, theSwitchAndTheStepperWriteTheirKeys)
{
    store.setValue(StoreKey::idleLimitHours, 2.5);
    makeView();
    auto *hours = child<QLabel>(*view, "hours");
    EXPECT_EQ(hours->text(), "2 時間");
    QTest::mouseClick(child<QToolButton>(*view, "hoursUp"), Qt::LeftButton);
    EXPECT_EQ(store.number(StoreKey::idleLimitHours), 3.5);
    EXPECT_EQ(hours->text(), "3 時間");

    auto *autoStop = child<ToggleSwitch>(*view, "autoStop");
    EXPECT_TRUE(autoStop->isChecked()); // the registered default
    autoStop->click();
    EXPECT_EQ(store.boolean(StoreKey::autoStopEnabled), false);

    store.setValue(StoreKey::idleLimitHours, -3.0);
    makeView();
    EXPECT_EQ(child<QLabel>(*view, "hours")->text(), "1 時間");
    QTest::mouseClick(child<QToolButton>(*view, "hoursDown"), Qt::LeftButton);
    EXPECT_EQ(store.number(StoreKey::idleLimitHours), -3.0); // already at the bottom: no change
    store.setValue(StoreKey::idleLimitHours, 167.5);
    makeView();
    QTest::mouseClick(child<QToolButton>(*view, "hoursUp"), Qt::LeftButton);
    EXPECT_EQ(store.number(StoreKey::idleLimitHours), 168);
}

TEST_F(SettingsTest, thePathIsStoredOnReturnAndRemovedWhenEmpty)
{
    makeView();
    auto *field = child<QLineEdit>(*view, "pm2Path");
    EXPECT_EQ(field->text(), test::FakePm2::path());
    field->setText(QStringLiteral(" /not/pm2 "));
    EXPECT_EQ(store.text(StoreKey::pm2Path), test::FakePm2::path()); // nothing until Return
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(store.text(StoreKey::pm2Path), " /not/pm2 "); // as typed
    field->clear();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(store.text(StoreKey::pm2Path), std::nullopt);

    // With none stored, the pm2 in use shows as the placeholder, never as text to store.
    const QString found = env.home() + "/.volta/bin/pm2";
    test::writeFile(found, "#!/bin/sh\n", true);
    makeView();
    field = child<QLineEdit>(*view, "pm2Path");
    EXPECT_EQ(field->text(), "");
    EXPECT_EQ(field->placeholderText(), found);
}

TEST_F(SettingsTest, choosingAFileStoresItAndRefreshes)
{
    makeView();
    int applies = 0;
    QObject::connect(&monitor, &Monitor::lastRefreshChanged, [&] { ++applies; });
    chooserAnswer = test::FakePm2::path();
    QTest::mouseClick(child<QPushButton>(*view, "choosePM2"), Qt::LeftButton);
    QDir(env.home()).mkpath(".nvm/versions/node");
    QTest::mouseClick(child<QPushButton>(*view, "choosePM2"), Qt::LeftButton);
    // Without nvm the dialog starts at home, not in a folder that is not there.
    EXPECT_EQ(chooserStarts, (QStringList{env.home(), env.home() + "/.nvm/versions/node"}));
    EXPECT_EQ(store.text(StoreKey::pm2Path), chooserAnswer);
    EXPECT_TRUE(QTest::qWaitFor([&] { return applies >= 1; }, 10'000));

    chooserAnswer.clear(); // cancelled
    store.setValue(StoreKey::pm2Path, QStringLiteral("/kept"));
    QTest::mouseClick(child<QPushButton>(*view, "choosePM2"), Qt::LeftButton);
    EXPECT_EQ(store.text(StoreKey::pm2Path), "/kept");
}

TEST_F(SettingsTest, theLoginSwitchRegistersAndShowsWhatWentWrong)
{
    makeView();
    auto *toggle = child<ToggleSwitch>(*view, "openAtLogin");
    auto *note = child<QWidget>(*view, "loginError");
    EXPECT_FALSE(toggle->isChecked());

    toggle->click(); // works
    EXPECT_EQ(store.openAtLoginChoice(), true);
    EXPECT_FALSE(note->isVisibleTo(view.get()));

    login.failure = QStringLiteral("Permission denied");
    toggle->click(); // unregistering fails: the switch shows the real state
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_EQ(view->loginError(), "Permission denied");
    EXPECT_TRUE(note->isVisibleTo(view.get()));
    EXPECT_EQ(store.openAtLoginChoice(), true); // untouched

    login.failure.reset();
    login.now = Status::notRegistered;
    login.afterRegister = Status::requiresApproval;
    makeView();
    toggle = child<ToggleSwitch>(*view, "openAtLogin");
    toggle->click();
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_EQ(store.openAtLoginChoice(), true);
    EXPECT_EQ(view->loginError(),
              "システム設定 > 一般 > ログイン項目 で Nimbrel を有効にしてください。");
}

TEST_F(SettingsTest, fitsItsWindowWithTheLoginNoteShown)
{
    login.failure = QStringLiteral("Not a directory");
    makeView();
    child<ToggleSwitch>(*view, "openAtLogin")->click();
    view->resize(520, 460);
    view->show();
    QCoreApplication::processEvents();
    EXPECT_LE(view->layout()->totalHeightForWidth(520), 460);
    EXPECT_LE(view->minimumSizeHint().width(), 520);
    // Every shown note sits 6 under its group (22 of spacing, -16 of margin) and 22 above the next.
    const auto top = [&](QWidget *w) { return w->mapTo(view.get(), QPoint(0, 0)).y(); };
    for (const char *name : {"autoStopNote", "loginError"}) {
        QWidget *note = child<QWidget>(*view, name);
        QWidget *section = note->parentWidget();
        QWidget *group = section->layout()->itemAt(0)->widget();
        QWidget *next = view->layout()->itemAt(view->layout()->indexOf(section) + 1)->widget();
        EXPECT_EQ(top(note) - (top(group) + group->height()), 6) << name;
        EXPECT_EQ(top(next) - (top(note) + note->height()), 22) << name;
    }
    if (const QString folder = qEnvironmentVariable("NIMBREL_TEST_PICTURES"); !folder.isEmpty()) {
        installQtJapanese(*static_cast<QApplication *>(QCoreApplication::instance()));
        for (const bool dark : {false, true}) {
            applyAppearance(*static_cast<QApplication *>(QCoreApplication::instance()), dark);
            makeView(); // made after the appearance, as the program makes it
            child<ToggleSwitch>(*view, "openAtLogin")->click();
            view->resize(520, 460);
            const QString look = dark ? "dark" : "light";
            view->grab().save(folder + "/settings-" + look + ".png");
            QFileDialog chooser(nullptr, QString(), env.home());
            chooser.setOption(QFileDialog::DontUseNativeDialog);
            chooser.show();
            QCoreApplication::processEvents();
            chooser.grab().save(folder + "/chooser-" + look + ".png");
        }
    }
}

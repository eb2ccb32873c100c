#include "app/ui/settings_view.h"

#include "app/monitor.h"
#include "app/pm2/pm2_locator.h"
#include "app/store.h"
#include "app/system/login_item.h"
#include "app/system/shell.h"
#include "app/ui/divider.h"
#include "app/ui/note_label.h"
#include "app/ui/rounded_ground.h"
#include "app/ui/style.h"
#include "app/ui/texts.h"
#include "app/ui/toggle_switch.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace nimbrel::ui {

namespace {

constexpr double fewestHours = 1;
constexpr double mostHours = 168;

QLabel *rowLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(fontOf(13));
    return label;
}

QToolButton *arrowButton(Qt::ArrowType arrow, const char *name, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setObjectName(QLatin1String(name));
    button->setFixedSize(18, 12);
    button->setAutoRepeat(true);
    return button;
}

} // namespace

SettingsView::SettingsView(Monitor &monitor, Store &store, LoginService &login,
                           FileChooser chooseFile, QWidget *parent)
    : QWidget(parent), monitor_(monitor), store_(store), login_(login),
      chooseFile_(std::move(chooseFile))
{
    setObjectName(QStringLiteral("settings"));
    idleHours_ = std::max(store_.doubleValue(StoreKey::idleLimitHours), fewestHours);

    auto *autoStop = new ToggleSwitch(this);
    autoStop->setObjectName(QStringLiteral("autoStop"));
    autoStop->setChecked(store_.boolValue(StoreKey::autoStopEnabled));
    connect(autoStop, &ToggleSwitch::toggled, this,
            [this](bool on) { store_.setValue(StoreKey::autoStopEnabled, on); });

    auto *notifications = new ToggleSwitch(this);
    notifications->setObjectName(QStringLiteral("notifications"));
    notifications->setChecked(store_.boolValue(StoreKey::notificationsEnabled));
    connect(notifications, &ToggleSwitch::toggled, this,
            [this](bool on) { store_.setValue(StoreKey::notificationsEnabled, on); });

    auto *wake = new ToggleSwitch(this);
    wake->setObjectName(QStringLiteral("wakeOnRequest"));
    wake->setChecked(store_.boolValue(StoreKey::wakeOnRequest));
    connect(wake, &ToggleSwitch::toggled, this, [this](bool on) {
        store_.setValue(StoreKey::wakeOnRequest, on);
        if (!on)
            monitor_.letGo({}); // off: no socket stays held
    });

    loginSwitch_ = new ToggleSwitch(this);
    loginSwitch_->setObjectName(QStringLiteral("openAtLogin"));
    loginSwitch_->setChecked(login_.status() == LoginService::Status::enabled);
    connect(loginSwitch_, &ToggleSwitch::toggled, this, &SettingsView::loginToggled);

    pathField_ = new QLineEdit(this);
    pathField_->setObjectName(QStringLiteral("pm2Path"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(12);
    pathField_->setFont(mono);
    pathField_->setTextMargins(4, 2, 4, 2);
    // A field to type in: the base colour inside a frame, as every editable field has (a
    // grey fill would read as read-only).
    pathField_->setFrame(true);
    // The field holds only a path the user stored; the pm2 found on its own shows as the
    // placeholder, so that Return on an untouched field never pins an nvm version's path.
    showPath(store_.text(StoreKey::pm2Path).value_or(QString()));
    showFoundPM2();
    connect(pathField_, &QLineEdit::returnPressed, this, &SettingsView::commitPath);
    auto *choose = new QPushButton(texts::choose, this);
    choose->setObjectName(QStringLiteral("choosePM2"));
    connect(choose, &QPushButton::clicked, this, &SettingsView::choosePM2);

    loginNote_ = new NoteLabel({}, this);
    loginNote_->setObjectName(QStringLiteral("loginError"));
    loginNote_->hide();

    // A change that could not be stored (the settings file exists but cannot be read) says so
    // here, whichever part of the program made it; the next stored change clears it.
    auto *saveNote = new NoteLabel({}, this);
    saveNote->setObjectName(QStringLiteral("saveError"));
    saveNote->hide();
    connect(&store_, &Store::writeFinished, saveNote, [saveNote](const QString &error) {
        saveNote->setText(error.isEmpty() ? QString() : saveFailedText(error));
        saveNote->setVisible(!error.isEmpty());
    });

    // 22 pixels between the parts; a note sits close (6 pixels) under the group it explains, and
    // a hidden note takes no room at all.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(22);
    layout->addWidget(saveNote);
    layout->addWidget(
        section(group(texts::autoStopGroup,
                      {row({rowLabel(texts::autoStopSwitch, this), autoStop}), new Divider(0, this),
                       row({rowLabel(texts::idleHours, this), makeStepper()}), new Divider(0, this),
                       row({rowLabel(texts::notificationsSwitch, this), notifications}),
                       new Divider(0, this), row({rowLabel(texts::wakeSwitch, this), wake})}),
                namedNote(texts::autoStopNote, "autoStopNote")));
    layout->addWidget(section(
        group(texts::launchGroup, {row({rowLabel(texts::openAtLogin, this), loginSwitch_})}),
        loginNote_));
    layout->addWidget(section(group(texts::pm2Group, {row({pathField_, choose})}),
                              namedNote(texts::pm2Note, "pm2Note")));
    layout->addStretch(1);
}

QSize SettingsView::sizeHint() const
{
    return {windowWidth, layout()->totalHeightForWidth(windowWidth)};
}

NoteLabel *SettingsView::namedNote(const QString &text, const char *name)
{
    auto *note = new NoteLabel(text, this);
    note->setObjectName(QLatin1String(name));
    return note;
}

QWidget *SettingsView::section(QWidget *group, QWidget *note)
{
    auto *section = new QWidget(this);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(22 - 16);
    group->setParent(section);
    note->setParent(section);
    layout->addWidget(group);
    layout->addWidget(note);
    return section;
}

QWidget *SettingsView::group(const QString &title, const QList<QWidget *> &rows)
{
    auto *box = new QWidget(this);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto *heading = new QLabel(title, box);
    heading->setFont(fontOf(12, QFont::DemiBold));
    setTone(heading, Tone::secondary);
    layout->addWidget(heading);
    // A group stands on the palette's control background.
    auto *ground = new RoundedGround(
        10, [](const QPalette &p) { return p.color(QPalette::Base); }, box);
    auto *content = new QVBoxLayout(ground);
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(0);
    for (QWidget *child : rows) {
        child->setParent(ground);
        content->addWidget(child);
    }
    layout->addWidget(ground);
    return box;
}

QWidget *SettingsView::row(const QList<QWidget *> &content)
{
    auto *line = new QWidget(this);
    auto *layout = new QHBoxLayout(line);
    // 9 above and below: the window's fixed 460 pixels hold every switch.
    layout->setContentsMargins(16, 9, 16, 9);
    layout->setSpacing(12);
    for (QWidget *child : content) {
        child->setParent(line);
        // A label and its control stand apart; a text field takes the room there is.
        if (qobject_cast<QLineEdit *>(child)) {
            layout->addWidget(child, 1);
        } else {
            layout->addWidget(child);
            if (child == content.front())
                layout->addStretch(1);
        }
    }
    return line;
}

QWidget *SettingsView::makeStepper()
{
    auto *stepper = new QWidget(this);
    auto *layout = new QHBoxLayout(stepper);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    hoursLabel_ = new QLabel(stepper);
    hoursLabel_->setObjectName(QStringLiteral("hours"));
    hoursLabel_->setFont(digitsFontOf(13));
    auto *arrows = new QVBoxLayout;
    arrows->setSpacing(0);
    auto *up = arrowButton(Qt::UpArrow, "hoursUp", stepper);
    auto *down = arrowButton(Qt::DownArrow, "hoursDown", stepper);
    arrows->addWidget(up);
    arrows->addWidget(down);
    layout->addWidget(hoursLabel_);
    layout->addLayout(arrows);
    // One hour a step; a fractional setting keeps its fraction (2.5 goes to 3.5).
    connect(up, &QToolButton::clicked, this,
            [this] { setIdleHours(std::min(idleHours_ + 1, mostHours)); });
    connect(down, &QToolButton::clicked, this,
            [this] { setIdleHours(std::max(idleHours_ - 1, fewestHours)); });
    hoursLabel_->setText(QString::number(qint64(idleHours_)) + texts::hours);
    return stepper;
}

void SettingsView::setIdleHours(double hours)
{
    if (hours == idleHours_)
        return;
    idleHours_ = hours;
    hoursLabel_->setText(QString::number(qint64(hours)) + texts::hours);
    store_.setValue(StoreKey::idleLimitHours, hours);
}

void SettingsView::loginToggled(bool on)
{
    const std::optional<QString> error = on ? login_.registerItem() : login_.unregisterItem();
    if (!error) {
        store_.setValue(StoreKey::openAtLogin, on);
        loginError_.clear();
    } else {
        loginError_ = *error;
        // Show the real state; the write-back must not register or unregister again.
        const QSignalBlocker blocker(loginSwitch_);
        loginSwitch_->setChecked(login_.status() == LoginService::Status::enabled);
    }
    if (login_.status() == LoginService::Status::requiresApproval)
        loginError_ = texts::approvalNote;
    loginNote_->setText(loginError_);
    loginNote_->setVisible(!loginError_.isEmpty());
}

void SettingsView::commitPath()
{
    // Stored as typed: a path that is not pm2 shows up in the panel, not here.
    if (pathField_->text().isEmpty())
        store_.remove(StoreKey::pm2Path);
    else
        store_.setValue(StoreKey::pm2Path, pathField_->text());
}

QString SettingsView::startFolder()
{
    // Where the pm2 in use lies (the one stored, else the one found), so that its neighbours
    // and the other versions beside it are a step away; then nvm's versions, then home. A
    // folder that does not exist would send the dialog to the working directory with its last
    // part typed in as a file name.
    QStringList candidates;
    for (const std::optional<QString> &pm2 :
         {store_.text(StoreKey::pm2Path), PM2Locator::shared().known()}) {
        if (pm2 && !pm2->isEmpty())
            candidates.append(QFileInfo(*pm2).absolutePath());
    }
    candidates.append(QDir::homePath() + QStringLiteral("/.nvm/versions/node"));
    for (const QString &folder : std::as_const(candidates)) {
        if (QFileInfo(folder).isDir())
            return folder;
    }
    return QDir::homePath();
}

void SettingsView::choosePM2()
{
    const QString chosen = chooseFile_(startFolder());
    if (chosen.isEmpty())
        return;
    showPath(chosen);
    store_.setValue(StoreKey::pm2Path, chosen);
    monitor_.refresh();
}

void SettingsView::showFoundPM2()
{
    pathField_->setPlaceholderText(PM2Locator::shared().known().value_or(QString()));
}

void SettingsView::showEvent(QShowEvent *event)
{
    showFoundPM2(); // the login shell may have named pm2 since the window was made
    QWidget::showEvent(event);
}

void SettingsView::showPath(const QString &path)
{
    pathField_->setText(path);
    pathField_->setCursorPosition(0); // the start of a path says more than its end ("…/bin/pm2")
}

QString SettingsView::chooseWithDialog(const QString &startFolder)
{
    return QFileDialog::getOpenFileName(nullptr, texts::choosePM2Title, startFolder);
}

} // namespace nimbrel::ui

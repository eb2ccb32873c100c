// The settings: the automatic stop and its hours, starting at login, and where pm2 is.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;

namespace nimbrel {

class LoginService;
class Monitor;
class Store;

namespace ui {

class NoteLabel;
class ToggleSwitch;

class SettingsView : public QWidget
{
    Q_OBJECT

public:
    // Asks the user for a file, starting in a folder; an empty text when cancelled.
    using FileChooser = std::function<QString(const QString &startFolder)>;

    SettingsView(Monitor &monitor, Store &store, LoginService &login,
                 FileChooser chooseFile = chooseWithDialog, QWidget *parent = nullptr);

    const QString &loginError() const { return loginError_; }
    double idleHours() const { return idleHours_; }

    static QString chooseWithDialog(const QString &startFolder);

    static constexpr int windowWidth = 520;
    // The window's width, and the height its content takes at that width.
    QSize sizeHint() const override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *group(const QString &title, const QList<QWidget *> &rows);
    QWidget *row(const QList<QWidget *> &content);
    // A group with the note that explains it close under it.
    QWidget *section(QWidget *group, QWidget *note);
    NoteLabel *namedNote(const QString &text, const char *name);
    QWidget *makeStepper();

    void setIdleHours(double hours);
    void loginToggled(bool on);
    void choosePM2();
    QString startFolder();
    void commitPath();
    void showPath(const QString &path);
    // The pm2 in use when none is stored, as the path field's placeholder.
    void showFoundPM2();

    Monitor &monitor_;
    Store &store_;
    LoginService &login_;
    FileChooser chooseFile_;

    double idleHours_ = 24;
    QString loginError_;

    QLabel *hoursLabel_ = nullptr;
    ToggleSwitch *loginSwitch_ = nullptr;
    NoteLabel *loginNote_ = nullptr;
    QLineEdit *pathField_ = nullptr;
};

} // namespace ui
} // namespace nimbrel

// Starting Nimbrel at login through an XDG autostart entry.
#pragma once

#include <QString>

#include <optional>

namespace nimbrel {

// Starting at login as the settings window and the command line see it.
class LoginService
{
public:
    // Numbered as the status texts expect them.
    enum class Status { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

    virtual ~LoginService() = default;
    virtual Status status() const = 0;
    // Both return the system's error text on failure.
    virtual std::optional<QString> registerItem() const = 0;
    virtual std::optional<QString> unregisterItem() const = 0;
};

class LoginItem : public LoginService
{
public:
    // The entry at `entryPath` starts `executable` at login.
    LoginItem(QString entryPath, QString executable);
    // $XDG_CONFIG_HOME/autostart/nimbrel.desktop starting the running executable.
    static LoginItem forThisProgram();

    const QString &entryPath() const { return entryPath_; }

    // Not registered: no entry. Requires approval: the desktop's startup settings turned the
    // entry off. Not found: its program is missing or not executable. Else enabled.
    Status status() const override;
    std::optional<QString> registerItem() const override;
    std::optional<QString> unregisterItem() const override;

private:
    QString entryPath_;
    QString executable_;
};

// What the user must do when the desktop turned the entry off; the status line and the settings
// both say it.
QString approvalInstruction();
// The line `--login` prints for a status; numbers outside the four read "不明".
QString statusText(int status);
inline QString statusText(LoginItem::Status status)
{
    return statusText(static_cast<int>(status));
}

} // namespace nimbrel

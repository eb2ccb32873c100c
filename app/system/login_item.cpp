#include "app/system/login_item.h"

#include "app/system/system_error.h"
#include "core/desktop_entry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbrel {

namespace {

// mkdir -p that says why it failed: 0 or the errno.
int makeDirectories(const QString &directory)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(directory));
    for (qsizetype slash = path.indexOf('/', 1); slash >= 0; slash = path.indexOf('/', slash + 1)) {
        if (::mkdir(path.left(slash).constData(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    if (::mkdir(path.constData(), 0755) != 0 && errno != EEXIST)
        return errno;
    struct stat info
    {};
    if (::stat(path.constData(), &info) != 0)
        return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

bool isExecutableProgram(const QString &program)
{
    QString path = program;
    if (!program.contains(u'/'))
        path = QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return false;
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info
    {};
    return ::stat(encoded.constData(), &info) == 0 && !S_ISDIR(info.st_mode) &&
           ::access(encoded.constData(), X_OK) == 0;
}

} // namespace

LoginItem::LoginItem(QString entryPath, QString executable)
    : entryPath_(std::move(entryPath)), executable_(std::move(executable))
{}

LoginItem LoginItem::forThisProgram()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return LoginItem(config + QStringLiteral("/autostart/nimbrel.desktop"),
                     QCoreApplication::applicationFilePath());
}

LoginItem::Status LoginItem::status() const
{
    QFile entry(entryPath_);
    if (!entry.open(QIODevice::ReadOnly))
        return QFileInfo::exists(entryPath_) ? Status::notFound : Status::notRegistered;
    const QMap<QString, QString> keys = desktopEntryKeys(entry.readAll());

    // As GLib's key-file reader, which the desktops use, reads a boolean: 1 and 0 count too.
    const auto isTrue = [&](const QString &key) {
        const QString value = keys.value(key);
        return value == u"true" || value == u"1";
    };
    const auto isFalse = [&](const QString &key) {
        const QString value = keys.value(key);
        return value == u"false" || value == u"0";
    };
    if (isTrue(QStringLiteral("Hidden")) || isFalse(QStringLiteral("X-GNOME-Autostart-enabled")) ||
        isFalse(QStringLiteral("X-MATE-Autostart-enabled")))
        return Status::requiresApproval;
    if (!isExecutableProgram(programOfExecValue(keys.value(QStringLiteral("Exec")))))
        return Status::notFound;
    return Status::enabled;
}

std::optional<QString> LoginItem::registerItem() const
{
    if (const int error = makeDirectories(QFileInfo(entryPath_).absolutePath()); error != 0)
        return systemErrorText(error);
    const QByteArray contents = "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Nimbrel\n"
                                "Exec=" +
                                desktopExecValue(executable_).toUtf8() +
                                "\n"
                                "X-GNOME-Autostart-enabled=true\n";
    // Qt words this case in its own English; the system's text reads like every other error.
    if (QFileInfo(entryPath_).isDir())
        return systemErrorText(EISDIR);
    QSaveFile file(entryPath_);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() ||
        !file.commit())
        return file.errorString();
    return std::nullopt;
}

std::optional<QString> LoginItem::unregisterItem() const
{
    // An entry that cannot exist (its folder is a file) is as absent as a missing one.
    if (::unlink(QFile::encodeName(entryPath_).constData()) == 0 || errno == ENOENT ||
        errno == ENOTDIR)
        return std::nullopt;
    return systemErrorText(errno);
}

QString approvalInstruction()
{
    return QStringLiteral("システム設定 > 一般 > ログイン項目 で Nimbrel を有効にしてください");
}

QString statusText(int status)
{
    switch (status) {
    case 0:
        return QStringLiteral("未登録（ログイン時に起動しません）");
    case 1:
        return QStringLiteral("登録済み（ログイン時に起動します）");
    case 2:
        return QStringLiteral("要許可（") + approvalInstruction() + QStringLiteral("）");
    case 3:
        return QStringLiteral("見つかりません（/Applications に入れてから実行してください）");
    default:
        return QStringLiteral("不明");
    }
}

} // namespace nimbrel

#include "app/app_delegate.h"

#include "app/pm2/pm2_client.h"
#include "app/store.h"
#include "app/strays/stray_tracker.h"

#include <cstdio>
#include <syslog.h>

namespace nimbrel {

namespace {

const QString controlUsage =
    QStringLiteral("使い方: --control start|stop|restart <名前>  /  --control list");
const QString controlActionUsage =
    QStringLiteral("使い方: --control start|stop|restart|list <名前>");
const QString loginUsage = QStringLiteral("使い方: --login on|off|status");

} // namespace

AppDelegate::AppDelegate(Store &store, LoginItem loginItem, LineWriter print, LineWriter complain)
    : store_(store), loginItem_(std::move(loginItem)), print_(std::move(print)),
      complain_(std::move(complain))
{}

int AppDelegate::runControl(const std::optional<QString> &action, const QString &name)
{
    if (!action) {
        print_(controlUsage);
        return 1;
    }
    const std::optional<PM2Client> client = PM2Client::resolvedAskingShell(store_);
    if (!client) {
        print_(QStringLiteral("pm2 が見つかりません"));
        return 1;
    }
    if (*action != u"list" && name.isEmpty()) {
        print_(controlUsage);
        return 1;
    }

    if (*action == u"list") {
        // A list that failed says why and fails: "no apps" is an answer, silence is not.
        const PM2Client::List list = client->list();
        if (list.failure) {
            complain_(*list.failure);
            return 1;
        }
        for (const PM2App &app : list.apps)
            print_(rawValue(app.status) + u'\t' + app.name);
        return 0;
    }

    bool succeeded = false;
    if (*action == u"start")
        succeeded = client->start(name);
    else if (*action == u"stop")
        succeeded = Strays::stopCompletely(*client, name);
    else if (*action == u"restart") // what pm2's stop leaves must not hold the port for the start
        succeeded = Strays::stopCompletely(*client, name) && client->start(name);
    else {
        print_(controlActionUsage);
        return 1;
    }

    // Stopping is not using: only a start or restart counts as activity for the idle stop.
    Store::WriteResult unsaved;
    if (succeeded && *action != u"stop") {
        const Instant startedAt = now();
        unsaved = store_.recordActive({{name, startedAt}});
    }
    print_(*action + QStringLiteral(": ") + name +
           (succeeded ? QStringLiteral(" 完了") : QStringLiteral(" 失敗")));
    if (unsaved)
        print_(saveFailedText(*unsaved));
    return succeeded && !unsaved ? 0 : 1;
}

int AppDelegate::runLogin(const QString &action)
{
    if (action == u"status") {
        const LoginItem::Status status = loginItem_.status();
        print_(statusText(status));
        return status == LoginItem::Status::enabled ? 0 : 1;
    }
    if (action != u"on" && action != u"off") {
        print_(loginUsage);
        return 1;
    }
    // The choice is stored along with the entry: when it cannot be, neither changes.
    const bool on = action == u"on";
    if (const auto error = store_.checkWritable()) {
        print_(saveFailedText(*error));
        return 1;
    }
    if (const auto error = on ? loginItem_.registerItem() : loginItem_.unregisterItem()) {
        print_(
            (on ? QStringLiteral("登録に失敗しました: ") : QStringLiteral("解除に失敗しました: ")) +
            *error);
        return 1;
    }
    if (const auto error = store_.setValue(StoreKey::openAtLogin, on)) {
        print_(saveFailedText(*error));
        return 1;
    }
    const LoginItem::Status status = loginItem_.status();
    print_(statusText(status));
    return on && status == LoginItem::Status::notRegistered ? 1 : 0;
}

void AppDelegate::ensureLoginItem(const LineWriter &log)
{
    if (store_.openAtLoginChoice())
        return; // the user chose, either way: never second-guess it
    if (const auto error = loginItem_.registerItem()) {
        log(QStringLiteral("Nimbrel: ログイン時起動の登録に失敗しました（%1）").arg(*error));
        return;
    }
    if (const auto error = store_.setValue(StoreKey::openAtLogin, true))
        log(QStringLiteral("Nimbrel: ") + saveFailedText(*error));
}

namespace {

void writeLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, bytes.size(), stream);
    std::fflush(stream);
}

} // namespace

void printLine(const QString &line)
{
    writeLine(stdout, line);
}

void printErrorLine(const QString &line)
{
    writeLine(stderr, line);
}

void writeToSystemLog(const QString &line)
{
    openlog("nimbrel", LOG_PID, LOG_USER);
    syslog(LOG_ERR, "%s", line.toUtf8().constData());
    closelog();
}

} // namespace nimbrel

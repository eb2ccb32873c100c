// The row's line under the name: ports, processes and the last use, or that it is stopped.
#include "app/ui/server_row_view.h"
#include "support/monitor_fixture.h"

using namespace nimbrel;
using ui::ServerRowView;

namespace {

ServerRow running(QList<int64_t> ports, int processes, std::optional<Instant> lastActive)
{
    ServerRow row{.app = {.name = "web", .pid = 1, .status = PM2App::Status::online}};
    row.ports = std::move(ports);
    for (int i = 0; i < processes; ++i)
        row.processes.append(ProcessRow{.pid = 1 + i});
    row.lastActive = lastActive;
    return row;
}

} // namespace

TEST(RowView, detailLine)
{
    const Instant t = now();
    const std::pair<ServerRow, const char *> cases[] = {
        {{.app = {.status = PM2App::Status::errored}}, "停止中"},
        {running({3000, 5173}, 3, t - Seconds(7200)), "ポート 3000　3プロセス　最終利用 2時間前"},
        {running({}, 1, std::nullopt), ""},
        {running({8080}, 1, std::nullopt), "ポート 8080"},
        {running({}, 2, t), "2プロセス　最終利用 0分前"},
    };
    for (const auto &[row, detail] : cases)
        EXPECT_EQ(ServerRowView::detail(row, t), QString::fromUtf8(detail));
}

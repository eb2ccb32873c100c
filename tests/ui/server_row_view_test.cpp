// The row's line under the name: ports, processes and the last use, or that it is stopped.
#include "app/ui/server_row_view.h"
#include "support/monitor_fixture.h"

using namespace nimbrel;

TEST(RowView, detailLine)
{
    const Instant t = now(), earlier = t - Seconds(7200);
    using Status = PM2App::Status;
    // {status, ports, processes, last use, the line}
    const std::tuple<Status, QList<int64_t>, int, std::optional<Instant>, const char *> cases[] = {
        {Status::errored, {3000}, 1, t, "停止中"},
        {Status::online, {3000, 5173}, 3, earlier, "ポート 3000　3プロセス　最終利用 2時間前"},
        {Status::online, {}, 1, {}, ""},
        {Status::online, {8080}, 1, {}, "ポート 8080"},
        {Status::online, {}, 2, t, "2プロセス　最終利用 0分前"},
    };
    for (const auto &[status, ports, processes, lastActive, detail] : cases) {
        const ServerRow row{.app = {.status = status},
                            .ports = ports,
                            .lastActive = lastActive,
                            .processes = QList<ProcessRow>(processes)};
        EXPECT_EQ(ui::ServerRowView::detail(row, t), QString::fromUtf8(detail));
    }
}

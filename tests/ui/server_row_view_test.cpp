// The row's line under the name: ports, processes, pm2's restarts and the last use, or that it
// is stopped or given up on.
#include "app/ui/server_row_view.h"
#include "support/monitor_fixture.h"

using namespace nimbrel;

TEST(RowView, detailLine)
{
    const Instant t = now(), earlier = t - Seconds(7200);
    using Status = PM2App::Status;
    // {status, ports, processes, last use, the line[, pm2's restarts]}
    const std::tuple<Status, QList<int64_t>, int, std::optional<Instant>, const char *, int>
        cases[] = {
            {Status::errored, {3000}, 1, t, "エラー", 0},
            {Status::errored, {}, 1, t, "エラー　再起動 15回", 15},
            {Status::stopped, {}, 1, t, "停止中", 3},
            {Status::online, {8080}, 2, {}, "ポート 8080　2プロセス　再起動 1回", 1},
            {Status::online,
             {3000, 5173},
             3,
             earlier,
             "ポート 3000　3プロセス　最終利用 2時間前",
             0},
            {Status::online, {}, 1, {}, "", 0},
            {Status::online, {8080}, 1, {}, "ポート 8080", 0},
            {Status::online, {}, 2, t, "2プロセス　最終利用 0分前", 0},
        };
    for (const auto &[status, ports, processes, lastActive, detail, restarts] : cases) {
        const ServerRow row{.app = {.status = status, .restarts = restarts},
                            .ports = ports,
                            .lastActive = lastActive,
                            .processes = QList<ProcessRow>(processes)};
        EXPECT_EQ(ui::ServerRowView::detail(row, t), QString::fromUtf8(detail));
    }
}

// The row's line under the name: port chips, processes, pm2's restarts and the last use, or that
// it is stopped or given up on; the breakdown's figures in the row's columns; greys that small
// text can be read in.
#include "app/ui/detail_line.h"
#include "app/ui/process_breakdown_view.h"
#include "app/ui/server_row_view.h"
#include "app/ui/style.h"
#include "support/monitor_fixture.h"

#include <QLabel>

using namespace nimbrel;
using test::child;

TEST(RowView, detailLineAndPortChips)
{
    const Instant t = now(), earlier = t - Seconds(7200);
    using Status = PM2App::Status;
    // {status, ports, processes, last use, the text after the chips, pm2's restarts}
    const std::tuple<Status, QList<int64_t>, int, std::optional<Instant>, const char *, int>
        cases[] = {
            {Status::errored, {3000}, 1, t, "エラー", 0},
            {Status::errored, {}, 1, t, "エラー　再起動 15回", 15},
            {Status::stopped, {}, 1, t, "停止中", 3},
            {Status::online, {8080}, 2, {}, "2プロセス　再起動 1回", 1},
            {Status::online, {3000, 5173}, 3, earlier, "3プロセス　最終利用 2時間前", 0},
            {Status::online, {}, 1, {}, "", 0},
            {Status::online, {}, 2, t, "2プロセス　最終利用 0分前", 0},
        };
    for (const auto &[status, ports, processes, lastActive, detail, restarts] : cases) {
        const ServerRow row{.app = {.status = status, .restarts = restarts},
                            .ports = ports,
                            .lastActive = lastActive,
                            .processes = QList<ProcessRow>(processes)};
        EXPECT_EQ(ui::ServerRowView::detail(row, t), QString::fromUtf8(detail));
    }
    // Every port while they fit beside the whole text; then the lowest ones and "+N".
    ui::DetailLine line;
    line.setContent({3000, 3001, 5173, 5174, 8080}, QStringLiteral("3プロセス"));
    const auto texts = [&](int width) {
        line.resize(width, line.sizeHint().height());
        QStringList shown;
        for (const auto &chip : line.chips())
            shown.append(chip.text);
        return shown.join(u' ');
    };
    EXPECT_EQ(texts(line.sizeHint().width()), "3000 3001 5173 5174 8080");
    EXPECT_EQ(texts(line.sizeHint().width() - 20), "3000 3001 5173 +2");
    EXPECT_EQ(texts(10), "3000 +4");
    bool two = false; // and two where two fit
    for (int width = 10; width < line.sizeHint().width() && !two; width += 2)
        two = texts(width) == "3000 3001 +3";
    EXPECT_TRUE(two);
}

TEST(RowView, theBreakdownsFiguresStandInTheRowsColumns)
{
    ui::ServerRowView row;
    ui::ProcessBreakdownView breakdown;
    const QList<ProcessRow> processes{{.pid = 11, .residentBytes = 3 << 20, .cpuPercent = 7},
                                      {.pid = 12, .residentBytes = 1 << 20}};
    row.setRow({.app = {.status = PM2App::Status::online}, .processes = processes}, false, true,
               now());
    breakdown.setProcesses(processes);
    for (QWidget *w : {static_cast<QWidget *>(&row), static_cast<QWidget *>(&breakdown)}) {
        w->resize(560, w->sizeHint().height());
        w->show();
    }
    const auto right = [](QWidget *w) { return w->mapTo(w->window(), w->rect().topRight()).x(); };
    EXPECT_EQ(right(child(breakdown, "processMemory")), right(child(row, "memory")));
    EXPECT_EQ(right(child(breakdown, "processCPU")), right(child(row, "cpu")));
    EXPECT_EQ(child<QLabel>(breakdown, "processCPU")->text(), "7.0%");
}

TEST(Style, smallTextKeepsItsContrastOnEveryGroundOfTheList)
{
    // {tone, least ratio}: 4.5:1 for small text, 3:1 for the pids.
    const std::pair<ui::Tone, double> tones[] = {{ui::Tone::secondary, 4.5},
                                                 {ui::Tone::tertiary, 3.0}};
    for (const bool dark : {false, true}) {
        const QPalette palette = ui::appearancePalette(dark);
        const QColor window = palette.color(QPalette::Window);
        // The window, the breakdown's ground, the hover and the keyboard's selection.
        for (const QColor &ground : {window, ui::over(ui::textColorAt(palette, 0.035), window),
                                     ui::over(ui::textColorAt(palette, 0.05), window),
                                     ui::over(ui::selectionGround(palette), window)})
            for (const auto &[tone, least] : tones)
                EXPECT_GE(ui::contrast(ui::toneColor(palette, tone), ground), least)
                    << dark << " " << ground.name().toStdString() << " " << int(tone);
    }
}

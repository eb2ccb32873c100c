#include "app/ui/export_modes.h"

#include "app/monitor.h"
#include "app/ui/panel_view.h"
#include "app/ui/texts.h"

#include <QApplication>
#include <QLayout>
#include <QPixmap>
#include <QTimer>

namespace nimbrel::ui {

namespace {

constexpr int captureDelayMs = 3000;

std::optional<QString> valueAfter(const QStringList &arguments, const QString &option)
{
    const qsizetype at = arguments.indexOf(option);
    if (at < 0 || at + 1 >= arguments.size())
        return std::nullopt;
    return arguments[at + 1];
}

// Lays the panel out at its natural size without putting it on any screen.
void layOut(PanelView &panel)
{
    panel.setAttribute(Qt::WA_DontShowOnScreen);
    panel.show();
    QCoreApplication::processEvents();
    panel.layout()->activate();
    panel.resize(panel.sizeHint());
    panel.layout()->activate();
}

} // namespace

ScreenshotOptions screenshotOptions(const QStringList &arguments, const QString &path)
{
    ScreenshotOptions options;
    options.path = path;
    options.flattened = !arguments.contains(QStringLiteral("--scroll"));
    options.query = valueAfter(arguments, QStringLiteral("--query"));
    if (const auto appearance = valueAfter(arguments, QStringLiteral("--appearance")))
        options.dark = *appearance == u"dark";
    return options;
}

void writeScreenshot(Monitor &monitor, Store &store, const ScreenshotOptions &options)
{
    monitor.refresh();
    QTimer::singleShot(captureDelayMs, Qt::PreciseTimer, &monitor, [&monitor, &store, options] {
        PanelView::Options panelOptions;
        panelOptions.flattened = options.flattened;
        panelOptions.initialQuery = options.query;
        auto *panel = new PanelView(monitor, store, panelOptions);
        layOut(*panel);
        // A missing folder or no permission: no file, and still a normal end.
        panel->grab().save(options.path, "PNG");
        delete panel;
        QCoreApplication::exit(0);
    });
}

void measure(Monitor &monitor, Store &store, const std::function<void(const QString &)> &print)
{
    auto *panel = new PanelView(monitor, store, {});
    monitor.refresh();
    QTimer::singleShot(captureDelayMs, Qt::PreciseTimer, &monitor, [panel, print] {
        layOut(*panel);
        const QSize size = panel->size();
        const double screen = PanelView::availableScreenHeight().value_or(0);
        print(texts::measuredScreen.arg(qint64(screen)).arg(qint64(screen * 0.5)));
        print(texts::measuredPanel.arg(size.width()).arg(size.height()));
        delete panel;
        QCoreApplication::exit(0);
    });
}

} // namespace nimbrel::ui

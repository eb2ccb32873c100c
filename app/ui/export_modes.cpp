#include "app/ui/export_modes.h"

#include "app/monitor.h"
#include "app/ui/log_window.h"
#include "app/ui/log_windows.h"
#include "app/ui/panel_view.h"
#include "app/ui/texts.h"

#include <QApplication>
#include <QLayout>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollBar>
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

// The log window of an app with the monitor's list: its paths come from pm2's entry.
void writeLogScreenshot(Monitor &monitor, Store &store, const ScreenshotOptions &options)
{
    auto *windows = new LogWindows(monitor, store, &monitor);
    const auto draw = [windows, options] {
        LogWindow *window = windows->makeLogWindow(*options.logs);
        window->setAttribute(Qt::WA_DontShowOnScreen);
        window->resize(LogWindow::defaultSize);
        window->show();
        QCoreApplication::processEvents();
        window->view()->verticalScrollBar()->setValue(
            window->view()->verticalScrollBar()->maximum());
        window->grab().save(options.path, "PNG");
        delete window;
        QCoreApplication::exit(0);
    };
    // Drawn as soon as the list is in; a pm2 that never answers still ends the run.
    auto *fallback = new QTimer(&monitor);
    fallback->setSingleShot(true);
    const auto once = [draw, fallback] {
        if (!fallback->isActive())
            return;
        fallback->stop();
        draw();
    };
    QObject::connect(&monitor, &Monitor::lastRefreshChanged, fallback, once, Qt::QueuedConnection);
    QObject::connect(fallback, &QTimer::timeout, fallback, draw);
    fallback->start(captureDelayMs * 2);
    monitor.refresh();
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
    options.logs = valueAfter(arguments, QStringLiteral("--logs"));
    return options;
}

void writeScreenshot(Monitor &monitor, Store &store, const ScreenshotOptions &options)
{
    if (options.logs)
        return writeLogScreenshot(monitor, store, options);
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
